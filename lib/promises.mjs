import { createRequire } from 'node:module';

const promises = createRequire(import.meta.url)('./promises.js');

export const { open, update, close, flush, drain, set, get, getBaudRate, write, read, list } = promises;
export default promises;
