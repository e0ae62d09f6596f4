// The eleven operations returning promises; each rejects with the Error its
// callback would have received.
import type { BaudRate, Bytes, Handle, ModemStatus, OpenOptions, PortInfo, SetOptions, UpdateOptions } from './index';

export type { BaudRate, Bytes, Handle, ModemStatus, OpenOptions, PortInfo, SetOptions, UpdateOptions } from './index';

export function open(path: string, options: OpenOptions): Promise<Handle>;
export function update(fd: Handle, options: UpdateOptions): Promise<void>;
export function close(fd: Handle): Promise<void>;
export function flush(fd: Handle): Promise<void>;
export function drain(fd: Handle): Promise<void>;
export function set(fd: Handle, options: SetOptions): Promise<void>;
export function get(fd: Handle): Promise<ModemStatus>;
export function getBaudRate(fd: Handle): Promise<BaudRate>;
export function write(fd: Handle, buffer: Bytes): Promise<void>;
/** Resolves with the number of bytes read. */
export function read(fd: Handle, buffer: Bytes, offset: number, bytesToRead: number): Promise<number>;
export function list(): Promise<PortInfo[]>;
