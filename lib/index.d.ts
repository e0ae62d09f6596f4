// The eleven functions of lintel.node, each answering through an error-first
// callback (argument errors are thrown at once as TypeErrors), and the
// SerialPort layer over them.
/// <reference types="node" />
import { Duplex } from 'node:stream';
import { EventEmitter } from 'node:events';

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

/** The line settings open() and SerialPort share; each says what its absence means. */
export interface LineSettings {
  /** Absent: 'none'. */
  parity?: Parity;
  /** Absent: 1. Windows takes 1.5 only with 5 data bits, and 2 only with 6 to 8 (SerialPort refuses the rest). */
  stopBits?: 1 | 1.5 | 2;
  /** CTS flow control on output, and RTS driven by rtsMode. Absent: false. */
  rtscts?: boolean;
  /**
   * How RTS is driven when rtscts is on. Absent: 'handshake'. open() ignores
   * it without rtscts; SerialPort refuses it then.
   */
  rtsMode?: RtsMode;
  /** XON/XOFF flow control on output. Absent: false. */
  xon?: boolean;
  /** XON/XOFF flow control on input. Absent: false. */
  xoff?: boolean;
  /** Accepted and ignored: Windows has no such switch. */
  xany?: boolean;
  /** DTR raised when the port opens; Windows lowers it as the handle closes. Absent: false for open(), true for SerialPort. */
  hupcl?: boolean;
  /** Open exclusively. Absent: false for open(), true for SerialPort. */
  lock?: boolean;
}

/**
 * The line settings `open` applies. The addon applies no defaults: a missing
 * baudRate or dataBits is taken as 0, which the driver refuses.
 */
export interface OpenOptions extends LineSettings {
  baudRate: number;
  /** 5 to 8. */
  dataBits: number;
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

/** The options of SerialPort: only these keys, each checked; baudRate is required. */
export interface SerialPortOptions extends LineSettings {
  baudRate: number;
  /** Absent: 8. */
  dataBits?: 5 | 6 | 7 | 8;
  /** Bytes one read takes at most, and the stream's buffer: 1 to 16777216 (16 MiB). Absent: 65536. */
  highWaterMark?: number;
  /**
   * Milliseconds close() gives the writes made before it to go out, 0 to
   * 10000; those still not out then call back with 'ERR_PORT_WRITE_ABORTED'.
   * Absent: 5000.
   */
  closeTimeout?: number;
  /**
   * Polls get() every interval milliseconds (1 to 2147483647, default 100)
   * and emits 'modemStatus' when CTS, DSR or DCD changes. The open reads the
   * lines first and fails where they cannot be read. Absent or false: off.
   */
  modemStatus?: { interval?: number } | false;
  /**
   * When the device goes away, keep the stream: emit 'disconnect', look for
   * the device again (by the identity it was opened with or that the list
   * gave at the open, else by the path) and, once it opens, restore the
   * options, output lines and modem-status poll and emit 'reconnect'. true
   * looks without end; `timeout` (ms from the 'disconnect', 0 to 2147483647)
   * or `signal` end the search, and the stream, with the disconnect error.
   * Absent or false: a loss destroys the stream with that error.
   */
  reconnect?: boolean | ReconnectOptions;
}

/** How long a reconnecting port looks for its device. */
export interface ReconnectOptions {
  /** Milliseconds from the 'disconnect', 0 to 2147483647. Absent: no limit. */
  timeout?: number;
  /** Aborted: the search ends and the stream is destroyed with the disconnect error. */
  signal?: AbortSignal;
}

/**
 * What identifies a device in the port list, to open it by rather than by
 * its name: any of these, all of which must match (the hexadecimal IDs in
 * either case).
 */
export interface DeviceIdentity {
  serialNumber?: string;
  vendorId?: string;
  productId?: string;
  locationId?: string;
  pnpId?: string;
}

/** SerialPort.open's options: the port's, and a signal that abandons the open. */
export interface SerialPortOpenOptions extends SerialPortOptions {
  /** Aborted before or during the open: rejects with an AbortError (cause: the signal's reason); the handle is closed once it comes. */
  signal?: AbortSignal;
}

/** The options in effect: the defaults filled in, modemStatus null when off. */
export type SerialPortSettings = Readonly<Required<Omit<SerialPortOptions, 'modemStatus' | 'reconnect'>>> & {
  readonly modemStatus: { readonly interval: number } | null;
  /** null when off; true is { timeout: null, signal: null }. */
  readonly reconnect: { readonly timeout: number | null; readonly signal: AbortSignal | null } | null;
};

/** What a 'modemStatus' event carries: the lines as now read, and which of them changed. */
export interface ModemStatusEvent {
  status: ModemStatus;
  changed: Array<'cts' | 'dsr' | 'dcd'>;
}

/** DTR, RTS and break as the port drives them; rts null while the driver drives it (rtscts with rtsMode 'handshake' or 'toggle'). */
export interface OutputLines {
  readonly dtr: boolean;
  readonly rts: boolean | null;
  readonly brk: boolean;
}

/** The output lines SerialPort.set() changes; the ones left out keep their state. */
export interface OutputLineOptions {
  rts?: boolean;
  dtr?: boolean;
  brk?: boolean;
}

/** The options of readUntil. */
export interface ReadUntilOptions {
  /** Milliseconds to wait, 1 to 2147483647; then it rejects with code 'ETIMEDOUT'. Absent: no limit. */
  timeout?: number;
  /** Aborted: rejects with an AbortError whose cause is the signal's reason. */
  signal?: AbortSignal;
  /** Bytes the frame may hold before the delimiter, 1 to 2^30; more rejects with 'ERR_FRAME_TOO_LONG'. Absent: 65536. */
  maxLength?: number;
}

/**
 * A failed readUntil: 'ETIMEDOUT', 'ABORT_ERR' (name 'AbortError'),
 * 'ERR_FRAME_TOO_LONG', 'ERR_STREAM_PREMATURE_CLOSE' (the stream ended first),
 * the port's own error (it failed first), 'ERR_STREAM_FLOWING',
 * 'ERR_READ_UNTIL_ENCODING' or 'ERR_READ_UNTIL_PENDING' (refused). `received`
 * holds the bytes it had taken; after a timeout, an abort or a frame too
 * long, they are also back at the front of the stream.
 */
export interface ReadUntilError extends Error {
  code: string;
  path: string;
  received?: Buffer;
}

/** The earlier name of OutputLineOptions: SerialPort.set() takes the output lines only. */
export type LineOptions = OutputLineOptions;

/**
 * An operational failure from the addon, its text kept and described. The
 * layer's own errors carry a code only: 'ERR_PORT_NOT_OPEN' (a call on a port
 * that is not opening or open), 'ERR_PORT_FLUSHED' (a write that flush()
 * discarded, reported to that write's callback alone), 'ERR_PORT_WRITE_ABORTED'
 * (a write not sent because the port closed or failed first; `cause` says
 * why), 'ERR_PORT_READ_EMPTY' (a driver that answered a long run of reads
 * with nothing; with `reconnect`, the cause of a loss instead) and
 * 'ERR_PORT_DISCONNECTED' (the device has gone: see DisconnectError).
 */
export interface PortError extends Error {
  /** 'ENOENT', 'EACCES', 'EBADF', 'EINVAL', 'ECANCELED', a Windows name such as 'ERROR_GEN_FAILURE', or 'UNKNOWN'. */
  code: string;
  /** The Windows error number. */
  errno: number;
  /** The Win32 call that failed, such as 'CreateFileA'. */
  syscall?: string;
  /** The port's name, as given to SerialPort; every error of the layer carries it. */
  path?: string;
}

/**
 * The one error that says a port's device has gone, whatever revealed it:
 * `cause` is the first Win32 error of a call on the port (a PortError), and
 * absent where the device left the port list without a failed call.
 */
export interface DisconnectError extends Error {
  code: 'ERR_PORT_DISCONNECTED';
  /** The port's name when the device went. */
  path: string;
  cause?: PortError;
}

/**
 * SerialPort.open() by identity found no port ('ERR_PORT_NOT_FOUND') or
 * several ('ERR_PORT_AMBIGUOUS', with their names in `paths` and the message).
 */
export interface PortLookupError extends Error {
  code: 'ERR_PORT_NOT_FOUND' | 'ERR_PORT_AMBIGUOUS';
  identity: DeviceIdentity;
  paths?: string[];
}

/** What a 'reconnect' event carries: the name the device was found under, now the port's path. */
export interface ReconnectEvent {
  path: string;
}

/** The events of a PortWatcher and what each listener receives. */
export interface PortWatcherEvents {
  /** The first list: the ports there when watching began (never reported as attached). */
  ready: (ports: PortInfo[]) => void;
  attach: (port: PortInfo) => void;
  detach: (port: PortInfo) => void;
  /** A list that failed; the polls go on. */
  error: (error: Error) => void;
  /** Once, after close(). */
  close: () => void;
}

/** One change as the watcher's async iterator gives it. */
export interface PortChange {
  type: 'attach' | 'detach';
  port: PortInfo;
}

export interface WatchOptions {
  /** Milliseconds between polls: 1 to 2147483647. Absent: 1000. */
  interval?: number;
  /** The polls do not keep the process alive. Absent: false. */
  unref?: boolean;
}

/** Polls list() and reports the ports that come and go. */
export interface PortWatcher extends EventEmitter {
  on<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  once<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  off<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  addListener<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  removeListener<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  prependListener<E extends keyof PortWatcherEvents>(event: E, listener: PortWatcherEvents[E]): this;
  /** Stops the polls; any number of times. */
  close(): void;
  readonly closed: boolean;
  /** The changes as they come, until close(); an 'error' is thrown; leaving the loop closes the watcher. */
  [Symbol.asyncIterator](): AsyncIterableIterator<PortChange>;
}

/** The events of a SerialPort (those of any Duplex, with their payloads) and what each listener receives. */
export interface SerialPortEvents {
  /** Once the port is open. */
  open: () => void;
  data: (chunk: Buffer) => void;
  readable: () => void;
  end: () => void;
  drain: () => void;
  finish: () => void;
  pause: () => void;
  resume: () => void;
  pipe: (source: NodeJS.ReadableStream) => void;
  unpipe: (source: NodeJS.ReadableStream) => void;
  /** A coded PortError (or the error destroy() was given). */
  error: (error: Error) => void;
  /** Once, after the handle is closed. */
  close: () => void;
  /** With the modemStatus option: CTS, DSR or DCD changed. */
  modemStatus: (event: ModemStatusEvent) => void;
  /** With the reconnect option: the device has gone; the stream stays, isOpen is false, and the device is looked for. */
  disconnect: (error: DisconnectError) => void;
  /** With the reconnect option: the device is open again, its settings restored, under `path`. */
  reconnect: (event: ReconnectEvent) => void;
}

/** One serial port as a Duplex stream of bytes, with promises for the rest. */
export class SerialPort extends Duplex {
  /**
   * Opens the port, named or found by the identity of its device in the
   * list; resolves once it is open.
   */
  static open(target: string | DeviceIdentity, options: SerialPortOpenOptions): Promise<SerialPort>;
  static list(): Promise<PortInfo[]>;
  /** Polls list() every interval milliseconds. */
  static watch(options?: WatchOptions): PortWatcher;
  constructor(path: string, options: SerialPortOptions);
  /** The port's name; with reconnect, the name the device was last found under. */
  readonly path: string;
  /** The options in effect, defaults included; baudRate follows update(). */
  readonly options: SerialPortSettings;
  /** False while opening, closing, closed, and (with reconnect) while the device is away. */
  readonly isOpen: boolean;
  /** The output lines as the open left them, then as set() last changed them. */
  readonly outputLines: OutputLines;
  /**
   * Resolves once open; writes made meanwhile go out in order once it is.
   * Rejects with 'ERR_STREAM_DESTROYED' on a port closed or destroyed, and
   * with 'ERR_PORT_DISCONNECTED' while the port waits for its device.
   */
  open(): Promise<void>;
  /**
   * Lets the writes made before it go out for closeTimeout at most (the rest
   * call back with 'ERR_PORT_WRITE_ABORTED'), closes the handle and ends the
   * readable side: what the stream holds stays readable, then 'end'. Resolves
   * once the handle is closed, from any state and however often it is
   * called, without waiting for a consumer; rejects only with the addon's
   * close error.
   */
  close(): Promise<void>;
  update(options: UpdateOptions): Promise<void>;
  /** Changes the lines it names, keeps the others; calls apply in call order. cts and dsr are refused (see modemStatus). */
  set(lines: OutputLineOptions): Promise<void>;
  get(): Promise<ModemStatus>;
  /**
   * Resolves with the bytes up to and including the next delimiter (a string
   * is taken as UTF-8), taken ahead of every other reader; the bytes after it
   * stay readable. Refused while the port is flowing or piped, after
   * setEncoding(), or while another readUntil waits.
   */
  readUntil(delimiter: string | Uint8Array, options?: ReadUntilOptions): Promise<Buffer>;
  getBaudRate(): Promise<BaudRate>;
  /**
   * Discards every write made before it (each calls back with
   * 'ERR_PORT_FLUSHED'; the stream goes on) and what the driver has received;
   * bytes already read into the stream stay.
   */
  flush(): Promise<void>;
  /** Resolves once every write made before it has reached the driver and been sent. */
  drain(): Promise<void>;
  on<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  once<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  off<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  addListener<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  removeListener<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  prependListener<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
  prependOnceListener<E extends keyof SerialPortEvents>(event: E, listener: SerialPortEvents[E]): this;
}

import { Transform as StreamTransform } from 'node:stream';

/** The options of DelimiterParser: only these keys, each checked. */
export interface DelimiterParserOptions {
  /** What ends a frame; a string is taken as UTF-8. Absent: '\n'. */
  delimiter?: string | Uint8Array;
  /** Frames end with their delimiter. Absent: false. */
  includeDelimiter?: boolean;
  /** Bytes a frame may hold, its delimiter not counted, 1 to 2^30; a longer one fails the stream with ERR_FRAME_TOO_LONG. Absent: 65536. */
  maxLength?: number;
}

/** The error of a frame longer than maxLength. */
export interface FrameTooLongError extends Error {
  code: 'ERR_FRAME_TOO_LONG';
  maxLength: number;
}

/**
 * Splits the bytes written to it on a delimiter; reads give one Buffer per
 * frame. At the end of input, bytes after the last delimiter come as a last
 * frame without one.
 */
export class DelimiterParser extends StreamTransform {
  constructor(options?: DelimiterParserOptions);
  [Symbol.asyncIterator](): AsyncIterableIterator<Buffer>;
}
