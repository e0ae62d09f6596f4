// vornet/testing: virtual serial ports with the addon's contract, and the device side to play.
import { EventEmitter } from 'node:events';
import type {
  BaudRate, Bytes, DoneCallback, GetBaudRateCallback, GetCallback, Handle, ListCallback, OpenCallback, OpenOptions,
  ReadCallback, SerialPort as SerialPortClass, SetOptions, UpdateOptions,
} from './index';

export interface VirtualPortsOptions {
  /** Move bytes at each port's line speed (ten bits a byte at its baud rate) instead of at once. Absent: false. */
  pace?: boolean;
}

/** What list() reports of a virtual port; every key is optional. */
export interface VirtualIdentity {
  manufacturer?: string;
  serialNumber?: string;
  /** Absent: made from vendorId, productId and serialNumber as Windows makes a USB instance ID. */
  pnpId?: string;
  locationId?: string;
  /** Absent: "Virtual Serial Port (<name>)". */
  friendlyName?: string;
  vendorId?: string;
  productId?: string;
}

export interface AddOptions extends VirtualIdentity {
  /** This port's bytes at its line speed (or not), whatever the VirtualPorts says. */
  pace?: boolean;
}

/** The Win32 codes a driver reports once its device is gone; each has a default. */
export interface RemovalCodes {
  /** Transfers pending at the removal. Absent: 31. */
  pendingError?: number;
  /** Later control calls, and reads. Absent: 22. */
  callError?: number;
  /** Later writes. Absent: 1167. */
  ioError?: number;
  /** A new open while the old handle is still held. Absent: 5 (Access denied). */
  openError?: number;
}

/** The input lines the device drives and the program reads. */
export interface InputLines {
  cts: boolean;
  dsr: boolean;
  dcd: boolean;
}

/** The output lines the program drives. */
export interface DeviceLines {
  dtr: boolean;
  rts: boolean;
  brk: boolean;
}

/** The line settings the program applied, as the driver holds them. */
export interface AppliedSettings {
  readonly baudRate: number;
  readonly dataBits: number;
  readonly parity: 'none' | 'even' | 'odd' | 'mark' | 'space';
  readonly stopBits: 1 | 1.5 | 2;
  readonly rtscts: boolean;
  readonly rtsMode: 'enable' | 'handshake' | 'toggle';
  readonly xon: boolean;
  readonly xoff: boolean;
  readonly xany: boolean;
  readonly hupcl: boolean;
  readonly lock: boolean;
}

export interface VirtualDeviceEvents {
  /** What the program wrote, as it leaves the port. */
  data: (bytes: Buffer) => void;
  /** A program opened the port, with these settings. */
  open: (settings: AppliedSettings) => void;
  /** The program closed the port. */
  close: () => void;
  /** The program changed DTR, RTS or break. */
  lines: (lines: DeviceLines) => void;
  unplug: () => void;
  plug: (name: string) => void;
}

/** The device end of one virtual port. */
export class VirtualDevice extends EventEmitter {
  /** The port's current name. */
  readonly name: string;
  readonly identity: Readonly<VirtualIdentity>;
  readonly plugged: boolean;
  /** Whether a program has the port open. */
  readonly isOpen: boolean;
  /** Whether its bytes move at line speed. */
  pace: boolean;
  /** DTR, RTS and break as the program drives them; all false while closed. */
  readonly lines: DeviceLines;
  /** CTS, DSR and DCD as the program reads them. */
  readonly inputs: InputLines;
  /** What the program applied last; null before its first open. */
  readonly settings: AppliedSettings | null;
  /** The other port of a pair, or null. */
  readonly peer: VirtualDevice | null;
  /** Bytes to the program (a string is UTF-8); lost, as a UART's, while no program has the port open. Answers whether one had. */
  write(data: string | Uint8Array | ArrayBufferView | number[]): boolean;
  /** What the program wrote since the last take(). */
  take(): Buffer;
  /** Sets the inputs the program reads; keys left out stay. Refused on a paired port. */
  set(lines: Partial<InputLines>): this;
  /** Holds the program's writes as flow control would; released, they go out in order. */
  holdWrites(hold?: boolean): this;
  /** Surprise removal: pending transfers and later calls fail as a Windows driver's do. */
  unplug(codes?: RemovalCodes): this;
  /** Back again, under its old name or another. */
  plug(name?: string): this;
  on<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
  once<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
  off<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
  addListener<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
  removeListener<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
  prependListener<E extends keyof VirtualDeviceEvents>(event: E, listener: VirtualDeviceEvents[E]): this;
}

/** The eleven functions of the addon, over virtual ports. */
export interface VirtualBinding {
  open(path: string, options: OpenOptions, callback: OpenCallback): void;
  update(fd: Handle, options: UpdateOptions, callback: DoneCallback): void;
  close(fd: Handle, callback: DoneCallback): void;
  flush(fd: Handle, callback: DoneCallback): void;
  drain(fd: Handle, callback: DoneCallback): void;
  set(fd: Handle, options: SetOptions, callback: DoneCallback): void;
  get(fd: Handle, callback: GetCallback): void;
  getBaudRate(fd: Handle, callback: GetBaudRateCallback): void;
  write(fd: Handle, buffer: Bytes, callback: DoneCallback): null;
  read(fd: Handle, buffer: Bytes, offset: number, bytesToRead: number, callback: ReadCallback): null;
  list(callback: ListCallback): void;
}

/** A machine of virtual ports. */
export class VirtualPorts {
  constructor(options?: VirtualPortsOptions);
  /** A new port and the device at its other end. */
  add(name: string, identity?: AddOptions): VirtualDevice;
  /** Two ports joined as a null modem; each one's DTR and RTS are the other's DSR (and DCD) and CTS. */
  pair(a: string, b: string, identity?: AddOptions): [VirtualDevice, VirtualDevice];
  /** The device of the port now named so (ASCII case aside). */
  device(name: string): VirtualDevice | undefined;
  /** The eleven functions over these ports. */
  readonly binding: VirtualBinding;
  /** The package's SerialPort, over these ports. */
  readonly SerialPort: typeof SerialPortClass;
}

export type { BaudRate };
