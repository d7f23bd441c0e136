'use strict';
// Load the jix SQLite extension into a better-sqlite3 (or compatible) database.
//
//   const Database = require('better-sqlite3');
//   const jix = require('jix');
//   const db = new Database('app.db');
//   jix.load(db);

const fs = require('fs');
const path = require('path');

// Path of the library: $JIX_LOADABLE_PATH, inside this package (where npm install builds it),
// the build folder of a source checkout, or the usual install locations.
function getLoadablePath() {
  const override = process.env.JIX_LOADABLE_PATH;
  if (override) return override;
  const candidates = [
    ...['jix.so', 'jix.dylib', 'jix.dll'].map((name) => path.join(__dirname, name)),
    path.join(__dirname, '..', '..', 'build', 'jix.so'),
    '/usr/local/lib/jix.so',
    '/usr/lib/jix.so',
  ];
  for (const candidate of candidates) {
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error("jix.so not found: build it with 'make', or set JIX_LOADABLE_PATH to its path");
}

function load(db) {
  db.loadExtension(getLoadablePath());
}

module.exports = { load, getLoadablePath };
