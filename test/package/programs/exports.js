// What require and import of the installed package give, in Windows node.exe.
const names = ['open', 'update', 'close', 'flush', 'drain', 'set', 'get', 'getBaudRate', 'write', 'read', 'list'];
const viaRequire = require('vornet');
const promises = require('vornet/promises');
(async () => {
  const viaImport = await import('vornet');
  const promisesImport = await import('vornet/promises');
  console.log(JSON.stringify({
    arch: process.arch,
    node: process.version,
    requireKeys: Object.keys(viaRequire),
    importNames: names.filter((n) => typeof viaImport[n] === 'function'),
    // import gives the very functions require gives, and the addon's names.
    same: names.every((n) => viaImport[n] === viaRequire[n]) && viaImport.default === viaRequire,
    functionNames: names.map((n) => viaRequire[n].name),
    // The layer's classes are named exports of import too.
    layerImports: ['SerialPort', 'DelimiterParser'].every((n) => typeof viaImport[n] === 'function' && viaImport[n] === viaRequire[n]),
    promiseKeys: Object.keys(promises),
    promisesSame: names.every((n) => promisesImport[n] === promises[n]),
    loaded: Object.keys(require.cache).filter((file) => file.endsWith('.node'))
      .map((file) => file.split(/[\\/]/).slice(-3).join('/')),
  }));
})();
