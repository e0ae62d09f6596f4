'use strict';
// The eleven functions of lintel.node, as the addon exports them.
module.exports = require('./binding').load();
