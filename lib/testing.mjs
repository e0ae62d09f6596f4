// vornet/testing for import: the same classes require('vornet/testing') gives.
import { createRequire } from 'node:module';

const testing = createRequire(import.meta.url)('./testing.js');

export const { VirtualPorts, VirtualDevice } = testing;
export default testing;
