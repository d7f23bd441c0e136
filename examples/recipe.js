'use strict';
// A typical app with jix in Node, step by step; the tests run it and it checks itself.
//
//   NODE_PATH=bindings/node/node_modules node examples/recipe.js
//
// Needs better-sqlite3 12 (scripts/run-node-tests installs it into bindings/node/node_modules)
// and the jix package (here taken from the checkout's bindings/node). Set JIX_LOADABLE_PATH to
// use a library other than the checkout's build/jix.so.

const assert = require('node:assert');
const path = require('node:path');
const Database = require('better-sqlite3');
const jix = require(path.join(__dirname, '..', 'bindings', 'node'));

const DIMENSIONS = 32;
const ROWS = 3000;
const TOPICS = ['apple', 'pear', 'plum', 'cherry', 'grape'];

function step(title) {
  console.log(`\n== ${title}`);
}

// A seeded generator (mulberry32) and normal deviates, so every run sees the same data.
function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
function normal(next) {
  return Math.sqrt(-2 * Math.log(1 - next())) * Math.cos(2 * Math.PI * next());
}

// Vectors around 20 centres, as embeddings of a few topics tend to be: one Float32Array
// holding every row, and each row's centre.
function makeVectors(next) {
  const centre = () => Array.from({ length: DIMENSIONS }, () => normal(next));
  const centres = Array.from({ length: 20 }, centre);
  const all = new Float32Array(ROWS * DIMENSIONS);
  const labels = [];
  for (let i = 0; i < ROWS; i++) {
    const label = Math.floor(next() * 20);
    labels.push(label);
    for (let j = 0; j < DIMENSIONS; j++) {
      all[i * DIMENSIONS + j] = centres[label][j] + 0.8 * normal(next);
    }
  }
  return { all, labels };
}

// Row i's vector as the BLOB jix stores: the Float32Array's bytes, without a copy.
function vectorOf(all, i) {
  return Buffer.from(all.buffer, i * DIMENSIONS * 4, DIMENSIONS * 4);
}

function createAndLoad(db, all, labels) {
  step('1. A table with a partition key, metadata and an auxiliary column');
  // tenant: nearly every query names one, and each has many rows -> partition key.
  // category: filtered inside the search -> metadata. title: only shown -> auxiliary.
  db.exec(`create virtual table docs using jix0(
    tenant integer partition key,
    embedding float[${DIMENSIONS}] distance_metric=cosine,
    category integer,
    +title text,
    chunk_size=256)`);

  step('2. Bulk load from a Float32Array, one transaction');
  const insert = db.prepare(
    'insert into docs(rowid, tenant, embedding, category, title) values (?, ?, ?, ?, ?)');
  // Integers bind as REAL unless they are BigInts.
  db.transaction(() => {
    for (let i = 0; i < ROWS; i++) {
      insert.run(BigInt(i + 1), BigInt(i % 3), vectorOf(all, i), BigInt(labels[i] % 5),
                 `${TOPICS[labels[i] % 5]} note ${i + 1}`);
    }
  })();
  console.log('loaded', db.prepare('select count(*) as n from docs').get().n, 'rows');
}

function cosineDistance(all, i, query) {
  let dot = 0, a = 0, b = 0;
  for (let j = 0; j < DIMENSIONS; j++) {
    const x = all[i * DIMENSIONS + j];
    dot += x * query[j];
    a += x * x;
    b += query[j] * query[j];
  }
  return 1 - dot / Math.sqrt(a * b);
}

function filteredKnn(db, all, labels) {
  const category = labels[0] % 5;
  const rows = db
    .prepare('select rowid, title, distance from docs' +
             ' where embedding match ? and k = 5 and tenant = 0 and category = ?')
    .all(vectorOf(all, 0), BigInt(category));
  for (const row of rows) console.log(row.rowid, row.title, row.distance.toFixed(4));
  const query = all.subarray(0, DIMENSIONS);
  const expected = [];
  for (let i = 0; i < ROWS; i++) {
    if (i % 3 === 0 && labels[i] % 5 === category) expected.push(cosineDistance(all, i, query));
  }
  expected.sort((x, y) => x - y);
  assert.strictEqual(rows[0].rowid, 1);
  rows.forEach((row, n) => {
    assert.ok(Math.abs(row.distance - expected[n]) < 1e-5, `${row.distance}`);
  });
}

function updateDeleteOptimize(db, all) {
  step('3. Update, delete and optimize');
  db.prepare("update docs set title = 'edited', category = 4 where rowid = 2").run();
  // A KNN match can pick the rows to change: here the 3 nearest of tenant 1.
  db.prepare('delete from docs where embedding match ? and k = 3 and tenant = 1')
    .run(vectorOf(all, 1));
  db.exec('delete from docs where rowid % 2 = 0');
  const chunks = () => db.prepare('select count(*) as n from docs_chunks').get().n;
  const before = chunks();
  db.exec("insert into docs(docs) values ('optimize')");
  const after = chunks();
  console.log('rows left:', db.prepare('select count(*) as n from docs').get().n,
              '- chunks before optimize:', before, 'after:', after);
  assert.ok(after < before);
}

function ivfRecall(db, all) {
  step('4. An IVF index: declare, build, check recall against a large probes');
  db.exec(`create virtual table docs_ivf using jix0(
    embedding float[${DIMENSIONS}] distance_metric=cosine index=ivf lists=16, category integer)`);
  const insert = db.prepare('insert into docs_ivf(rowid, embedding, category) values (?, ?, ?)');
  db.transaction(() => {
    for (let i = 0; i < ROWS; i++) insert.run(BigInt(i + 1), vectorOf(all, i), BigInt(i % 5));
  })();
  db.exec("insert into docs_ivf(docs_ivf) values ('build-index')");
  const knn = db
    .prepare('select rowid from docs_ivf where embedding match ? and k = 10 and probes = ?')
    .pluck();
  const recall = {};
  for (const probes of [1, 2, 4, 16]) {
    let found = 0, queries = 0;
    for (let i = 0; i < ROWS; i += 60, queries++) {
      const exact = new Set(knn.all(vectorOf(all, i), 1000000));
      found += knn.all(vectorOf(all, i), probes).filter((rowid) => exact.has(rowid)).length;
    }
    recall[probes] = found / (10 * queries);
    console.log(`probes ${String(probes).padStart(2)}: recall@10 ${recall[probes].toFixed(3)}`);
  }
  assert.ok(recall[16] === 1 && recall[4] >= 0.9, JSON.stringify(recall));
}

function hybridSearch(db, all) {
  step('5. Hybrid search with FTS5, ranked by reciprocal rank fusion');
  db.exec('create virtual table docs_text using fts5(title)');
  db.exec('insert into docs_text(rowid, title) select rowid, title from docs');
  const query = vectorOf(all, 4);
  // Only rows with the word, nearest first.
  const rows = db
    .prepare('select d.rowid, t.title from docs as d join docs_text as t on t.rowid = d.rowid' +
             ' where d.embedding match ? and d.k = 5' +
             " and d.rowid in (select rowid from docs_text where docs_text match 'cherry')")
    .all(query);
  console.log("nearest with 'cherry':", rows.map((r) => r.title).join(', '));
  assert.ok(rows.length === 5 && rows.every((r) => r.title.includes('cherry')));
  // Both rankings fused: 1 / (60 + rank) in each list a row appears in, summed.
  const fused = db.prepare(`
    with semantic as (
      select rowid, row_number() over (order by distance) as rank
      from docs where embedding match ? and k = 20
    ), keyword as (
      select rowid, row_number() over (order by rank) as rank
      from docs_text where docs_text match 'cherry' order by rank limit 20
    )
    select rowid, sum(1.0 / (60 + rank)) as score
    from (select * from semantic union all select * from keyword)
    group by rowid order by score desc limit 5`).all(query);
  console.log('fused:', fused.map((r) => `${r.rowid} ${r.score.toFixed(4)}`).join(', '));
  assert.ok(fused.length === 5 && fused[0].score >= fused[4].score);
}

function migrate(db, all) {
  step('6. Moving vectors over from a plain table');
  db.exec('create table old_docs(id integer primary key, title text, embedding blob)');
  const insert = db.prepare('insert into old_docs values (?, ?, ?)');
  db.transaction(() => {
    for (let i = 0; i < 500; i++) insert.run(BigInt(i + 1), `old ${i + 1}`, vectorOf(all, i));
  })();
  db.exec(`create virtual table new_docs using jix0(embedding float[${DIMENSIONS}], +title text)`);
  db.exec('insert into new_docs(rowid, embedding, title)' +
          ' select id, embedding, title from old_docs');
  const rows = db
    .prepare('select rowid, title from new_docs where embedding match ? and k = 1')
    .all(vectorOf(all, 9));
  console.log('moved', db.prepare('select count(*) as n from new_docs').get().n, 'rows;', rows);
  assert.deepStrictEqual(rows, [{ rowid: 10, title: 'old 10' }]);
}

function main() {
  const db = new Database(':memory:');
  jix.load(db);
  const { all, labels } = makeVectors(random(7));
  createAndLoad(db, all, labels);
  filteredKnn(db, all, labels);
  updateDeleteOptimize(db, all);
  ivfRecall(db, all);
  hybridSearch(db, all);
  migrate(db, all);
  console.log('\nrecipe done');
}

main();
