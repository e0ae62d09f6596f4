'use strict';
// The device of vornet monitor --demo: a sensor that prints three named values fifty times a second and echoes what it is sent.

// Plays the device on `device` (a virtual port's far end: write(data) and
// 'data' events); returns the function that stops it.
function playDemo(device, { rate = 50 } = {}) {
  const started = Date.now();
  const timer = setInterval(() => {
    const s = (Date.now() - started) / 1000;
    const line = `sin:${Math.sin(s * 2).toFixed(2)} cos:${Math.cos(s * 2).toFixed(2)} saw:${((s / 2) % 1).toFixed(2)}\n`;
    device.write(line);
  }, 1000 / rate);
  const echo = (data) => device.write(data);
  device.on('data', echo);
  return () => {
    clearInterval(timer);
    device.off('data', echo);
  };
}

module.exports = { playDemo };
