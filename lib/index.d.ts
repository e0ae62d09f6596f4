// The eleven functions of lintel.node. Every one answers through an
// error-first callback; argument errors are thrown at once as TypeErrors.

/** A port handle as `open` delivers it; valid only until its port is closed. */
export type Handle = number;

/** Memory a transfer reads from or writes into: a Buffer or any typed array. */
export type Bytes =
  | Uint8Array
  | Uint8ClampedArray
  | Int8Array
  | Uint16Array
  | Int16Array
  | Uint32Array
  | Int32Array
  | Float32Array
  | Float64Array
  | BigInt64Array
  | BigUint64Array;

export type Parity = 'none' | 'even' | 'odd' | 'mark' | 'space';
export type RtsMode = 'enable' | 'handshake' | 'toggle';

/**
 * The line settings `open` applies. The addon applies no defaults: a missing
 * baudRate or dataBits is taken as 0, which the driver refuses.
 */
export interface OpenOptions {
  baudRate: number;
  /** 5 to 8. */
  dataBits: number;
  /** Default 'none'. */
  parity?: Parity;
  /** 1, 1.5 or 2; default 1. */
  stopBits?: 1 | 1.5 | 2;
  /** CTS flow control on output, and RTS driven by rtsMode. Default false. */
  rtscts?: boolean;
  /** How RTS is driven when rtscts is on. Default 'handshake'. */
  rtsMode?: RtsMode;
  /** XON/XOFF flow control on output. Default false. */
  xon?: boolean;
  /** XON/XOFF flow control on input. Default false. */
  xoff?: boolean;
  /** Accepted and ignored: Windows has no such switch. */
  xany?: boolean;
  /** DTR raised while the port is open. Default false. */
  hupcl?: boolean;
  /** Open exclusively. Default false. */
  lock?: boolean;
}

export interface UpdateOptions {
  baudRate: number;
}

/** Lines to drive and events to watch; each counts by truthiness, absent is false. */
export interface SetOptions {
  rts?: boolean;
  dtr?: boolean;
  brk?: boolean;
  cts?: boolean;
  dsr?: boolean;
  lowLatency?: boolean;
}

export interface ModemStatus {
  cts: boolean;
  dsr: boolean;
  dcd: boolean;
  /** Always false on Windows. */
  lowLatency: boolean;
}

export interface BaudRate {
  baudRate: number;
}

/** One serial port of the machine. Every key is present; unknown values are undefined. */
export interface PortInfo {
  path: string;
  manufacturer: string | undefined;
  serialNumber: string | undefined;
  pnpId: string;
  locationId: string | undefined;
  friendlyName: string | undefined;
  vendorId: string | undefined;
  productId: string | undefined;
}

export type DoneCallback = (error: Error | null) => void;
export type OpenCallback = (error: Error | null, fd?: Handle) => void;
export type GetCallback = (error: Error | null, status?: ModemStatus) => void;
export type GetBaudRateCallback = (error: Error | null, result?: BaudRate) => void;
export type ReadCallback = (error: Error | null, bytesRead?: number) => void;
export type ListCallback = (error: Error | null, ports?: PortInfo[]) => void;

export function open(path: string, options: OpenOptions, callback: OpenCallback): void;
export function update(fd: Handle, options: UpdateOptions, callback: DoneCallback): void;
export function close(fd: Handle, callback: DoneCallback): void;
export function flush(fd: Handle, callback: DoneCallback): void;
export function drain(fd: Handle, callback: DoneCallback): void;
export function set(fd: Handle, options: SetOptions, callback: DoneCallback): void;
export function get(fd: Handle, callback: GetCallback): void;
export function getBaudRate(fd: Handle, callback: GetBaudRateCallback): void;
/** Calls back once every byte has gone to the driver, or at the first failure. */
export function write(fd: Handle, buffer: Bytes, callback: DoneCallback): null;
/**
 * Waits, without limit, for at least one byte, then takes what else is
 * waiting, up to bytesToRead, into buffer at offset.
 */
export function read(fd: Handle, buffer: Bytes, offset: number, bytesToRead: number, callback: ReadCallback): null;
export function list(callback: ListCallback): void;
