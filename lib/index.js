'use strict';
// The eleven functions of lintel.node, as the addon exports them, and the
// SerialPort layer over them.
const lintel = require('./binding').load();
const { createSerialPort } = require('./serialport');

module.exports = { ...lintel, SerialPort: createSerialPort(lintel) };
module.exports.DelimiterParser = require('./parsers').DelimiterParser;
