// Named exports for import: a native module's names cannot be detected, so
// they are listed here once.
import { createRequire } from 'node:module';

const vornet = createRequire(import.meta.url)('./index.js');

export const { open, update, close, flush, drain, set, get, getBaudRate, write, read, list, SerialPort } = vornet;
export default vornet;
export const { DelimiterParser } = vornet;
