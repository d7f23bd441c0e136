'use strict';
// The Node binding against better-sqlite3, which bundles its own SQLite and does not export
// its symbols: loading works only through the API routine table the host hands over.
const test = require('node:test');
const assert = require('node:assert');
const Database = require('better-sqlite3');
const jix = require('..');

function float32(values) {
  return Buffer.from(new Float32Array(values).buffer);
}

test('loads and reports its version', () => {
  const db = new Database(':memory:');
  jix.load(db);
  assert.strictEqual(db.prepare('select jix_version() as v').get().v, 'v0.1.9');
  assert.ok(jix.getLoadablePath().endsWith('jix.so'));
});

test('KNN with ORDER BY distance LIMIT k', () => {
  const db = new Database(':memory:');
  jix.load(db);
  db.exec('create virtual table items using jix0(embedding float[2])');
  const insert = db.prepare('insert into items(rowid, embedding) values (?, ?)');
  const points = [[0, 0], [1, 0], [5, 5], [0, 2], [-3, -3]];
  // better-sqlite3 binds JavaScript numbers as REAL; rowids must be INTEGER, so use BigInt.
  points.forEach((p, i) => insert.run(BigInt(i + 1), float32(p)));
  const rows = db
    .prepare('select rowid, distance from items where embedding match ? order by distance limit 3')
    .all(float32([0.1, 0]));
  assert.deepStrictEqual(rows.map((r) => r.rowid), [1, 2, 4]);
  assert.ok(Math.abs(rows[0].distance - 0.1) < 1e-6);
});
