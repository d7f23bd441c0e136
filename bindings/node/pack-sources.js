'use strict';
// npm's prepack and postpack steps: `npm pack` in bindings/node copies the library's sources
// (CMakeLists.txt, cmake/, src/, LICENSE) into jix-src/, so that the tarball can build the
// library wherever it is installed; postpack removes the copy again.
//   node pack-sources.js copy | clean

const fs = require('fs');
const path = require('path');

const packageDir = __dirname;
const sourceDir = path.resolve(packageDir, '..', '..');
const target = path.join(packageDir, 'jix-src');
const entries = ['CMakeLists.txt', 'LICENSE', 'cmake', 'src'];

function copy() {
  if (!fs.existsSync(path.join(sourceDir, 'CMakeLists.txt'))) {
    console.error(`jix: no sources at ${sourceDir}: pack the package from a checkout`);
    process.exit(1);
  }
  fs.rmSync(target, { recursive: true, force: true });
  for (const entry of entries) {
    fs.cpSync(path.join(sourceDir, entry), path.join(target, entry), { recursive: true });
  }
}

if (process.argv[2] === 'copy') copy();
else if (process.argv[2] === 'clean') fs.rmSync(target, { recursive: true, force: true });
else {
  console.error('usage: node pack-sources.js copy | clean');
  process.exit(1);
}
