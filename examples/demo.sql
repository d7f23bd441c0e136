-- A guided tour of jix in the sqlite3 shell. From the repository root:
--   make demo
-- or, once build/jix.so is built:
--   sqlite3 :memory: -cmd '.load build/jix' < examples/demo.sql
.headers on
.mode box

.print
.print "jix: vectors and nearest-neighbour search inside SQLite, exact or approximate (IVF)"
.print "==================================================================================="
SELECT jix_version() AS version;

.print
.print "1. Vectors are ordinary SQL values"
.print "----------------------------------"
.print "JSON text or compact float32 BLOBs; distances are plain SQL functions."
SELECT jix_distance_l2('[0, 0]', '[3, 4]')      AS l2,
       jix_distance_l1('[1, 2]', '[3, 5]')      AS l1,
       jix_distance_cosine('[1, 0]', '[0, 1]')  AS cosine;

.print
.print "Inspect and convert: length, element type, JSON text."
SELECT jix_length('[0.1, -0.4, 0.9]')           AS length,
       jix_type(jix_int8('[1, -2]'))            AS type,
       jix_to_json(jix_f32('[0.25, -1]'))       AS json;

.print
.print "Quantise two float vectors to int8 (one byte per element) and to bits (the sign"
.print "of each element), then compare their distances at each precision."
WITH v(a, b) AS (
  VALUES ('[0.9, -0.3, 0.5, -0.8, 0.1, 0.7, -0.6, 0.2]',
          '[0.8, -0.1, 0.4, -0.9, -0.2, 0.6, -0.5, 0.3]')
)
SELECT jix_to_json(jix_quantize_int8(a, 'unit'))                         AS a_int8,
       hex(jix_quantize_binary(a))                                      AS a_bits,
       round(jix_distance_cosine(a, b), 4)                              AS cosine_f32,
       round(jix_distance_cosine(jix_quantize_int8(a, 'unit'),
                                 jix_quantize_int8(b, 'unit')), 4)      AS cosine_int8,
       jix_distance_hamming(jix_quantize_binary(a),
                            jix_quantize_binary(b))                     AS hamming_bits
FROM v;

.print
.print "Arithmetic on vectors, and jix_each to list the elements as rows:"
.print "normalize([4, 6] - [1, 2])"
SELECT rowid, value
FROM jix_each(jix_normalize(jix_sub('[4, 6]', '[1, 2]')));

.print
.print "2. jix0 tables"
.print "--------------"
.print "A partition key, three vector columns (one per element type), an auxiliary column"
.print "returned as stored, and metadata columns that KNN queries can filter on."
CREATE VIRTUAL TABLE tracks USING jix0(
  user_id integer partition key,
  embedding float[4] distance_metric=cosine,
  embedding_int8 int8[4],
  embedding_bits bit[8],
  +title text,
  genre text,
  plays integer,
  chunk_size=8
);

-- int8 and bit vectors are tagged with jix_int8() and jix_bit(); float32 needs nothing.
INSERT INTO tracks(rowid, user_id, embedding, embedding_int8, embedding_bits, title, genre, plays)
VALUES
  (1, 1, '[0.9, 0.1, 0.3, 0.2]', jix_quantize_int8('[0.9, 0.1, 0.3, 0.2]', 'unit'),
      jix_bit(X'A5'), 'So What', 'jazz', 120),
  (2, 1, '[0.8, 0.2, 0.1, 0.4]', jix_int8('[100, 25, 12, 50]'),
      jix_bit(X'B4'), 'Blue in Green', 'jazz', 75),
  (3, 2, '[0.1, 0.9, 0.7, 0.3]', jix_int8('[12, 114, 88, 38]'),
      jix_bit(X'0F'), 'Clair de lune', 'classical', 300);

.print
.print "Rows live in chunks of 8 slots, one chunk per partition; each row knows its slot."
SELECT rowid, chunk_id, chunk_offset FROM tracks_rowids;
SELECT chunk_id, partition00 AS user_id, hex(validity) AS occupied_slots FROM tracks_chunks;

.print
.print "The two nearest jazz tracks with at least 100 plays. Filters narrow each chunk"
.print "before any distance is computed, so k counts only rows that pass them: one row here."
SELECT rowid, title, genre, plays, round(distance, 4) AS distance
FROM tracks
WHERE embedding MATCH '[0.85, 0.15, 0.2, 0.3]' AND k = 2
  AND genre = 'jazz' AND plays >= 100;

.print
.print "int8 search inside one partition, with a bound on the distance."
SELECT rowid, title, round(distance, 2) AS distance
FROM tracks
WHERE embedding_int8 MATCH jix_int8('[100, 20, 20, 40]') AND k = 3
  AND user_id = 1 AND distance < 20
ORDER BY distance;

.print
.print "3. Named colours as RGB vectors"
.print "-------------------------------"
.print "examples/colors.csv holds the 550 named colours of X11's rgb.txt"
.print "(regenerate it with examples/make_colors_csv.py)."
.import --csv examples/colors.csv colors_csv

-- The colour's name is a TEXT primary key; family (red, orange, ..., gray) partitions the
-- table, so a query on one family reads only that family's chunks; tone and lightness
-- are metadata for filters; hex is an auxiliary column, only returned.
CREATE VIRTUAL TABLE colors USING jix0(
  name text primary key,
  rgb float[3],
  family text partition key,
  tone text,
  lightness integer,
  +hex text,
  chunk_size=64
);

-- .import reads every field as TEXT: metadata columns need values of their own type.
INSERT INTO colors(name, rgb, family, tone, lightness, hex)
SELECT name,
       format('[%s, %s, %s]', r, g, b),
       family,
       tone,
       CAST(lightness AS INTEGER),
       format('#%02X%02X%02X', CAST(r AS INTEGER), CAST(g AS INTEGER), CAST(b AS INTEGER))
FROM colors_csv;
DROP TABLE colors_csv;

.print
.print "steelblue, looked up by its primary key:"
SELECT name, hex, jix_to_json(rgb) AS rgb, family, tone, lightness
FROM colors
WHERE name = 'steelblue';

.print
.print "The 5 colours nearest to steelblue (distance > 0 leaves steelblue itself out):"
SELECT name, hex, family, round(distance, 1) AS distance
FROM colors
WHERE rgb MATCH (SELECT rgb FROM colors WHERE name = 'steelblue') AND k = 5
  AND distance > 0;

.print
.print "Partition filter: the nearest greens. Only the green family's chunks are read."
SELECT name, hex, family, round(distance, 1) AS distance
FROM colors
WHERE rgb MATCH (SELECT rgb FROM colors WHERE name = 'steelblue') AND k = 5
  AND family = 'green';

.print
.print "Metadata filters: the nearest warm colours with a lightness of at least 60."
SELECT name, hex, family, tone, lightness, round(distance, 1) AS distance
FROM colors
WHERE rgb MATCH (SELECT rgb FROM colors WHERE name = 'steelblue') AND k = 5
  AND tone = 'warm' AND lightness >= 60;

.print
.print "Ranking a short list: which of these is closest to steelblue? (teal is not in rgb.txt.)"
SELECT name, hex, round(distance, 1) AS distance
FROM colors
WHERE rgb MATCH (SELECT rgb FROM colors WHERE name = 'steelblue') AND k = 10
  AND name IN ('red', 'navy', 'skyblue', 'teal', 'gold', 'slategray');

.print
.print "How the rows are stored: chunks of 64 slots, per family."
SELECT partition00 AS family, count(*) AS chunks FROM colors_chunks
GROUP BY partition00 ORDER BY chunks DESC, family;

.print
.print "4. 20,000 vectors of 384 dimensions"
.print "-----------------------------------"
.print "Random float32 vectors, generated in SQL: each one is a JSON list built by a"
.print "correlated subquery (the 'n > 0' makes SQLite run it once per row). Takes a few seconds."
CREATE VIRTUAL TABLE docs USING jix0(embedding float[384], topic integer);

.timer on

WITH RECURSIVE
  row(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM row WHERE n < 20000),
  dim(j) AS (SELECT 1 UNION ALL SELECT j + 1 FROM dim WHERE j < 384)
INSERT INTO docs(rowid, embedding, topic)
SELECT n,
       (SELECT '[' || group_concat(random() % 1000000 / 1e6 + j * 0, ',') || ']'
        FROM dim WHERE n > 0),
       n % 10
FROM row;

.timer off

-- The query: row 4242's vector, moved by up to 0.1 in every dimension.
CREATE TEMP TABLE query AS
WITH RECURSIVE dim(j) AS (SELECT 1 UNION ALL SELECT j + 1 FROM dim WHERE j < 384)
SELECT jix_add((SELECT embedding FROM docs WHERE rowid = 4242),
               '[' || group_concat(random() % 1000000 / 1e7 + j * 0, ',') || ']') AS v
FROM dim;

SELECT count(*) AS vectors, count(*) * 384 * 4 / 1048576 AS MiB FROM docs_rowids;

.print
.print "KNN: the 5 nearest neighbours of the query. Row 4242 comes first; the random others"
.print "are all about equally far away."
.timer on
SELECT rowid, topic, round(distance, 4) AS distance
FROM docs
WHERE embedding MATCH (SELECT v FROM query) AND k = 5;
.timer off

.print
.print "The same search restricted to topic 3 (a metadata filter applied inside the scan):"
.timer on
SELECT rowid, topic, round(distance, 4) AS distance
FROM docs
WHERE embedding MATCH (SELECT v FROM query) AND k = 5 AND topic = 3;
.timer off

.print
.print "The same answer the slow way: every distance computed in SQL, then sorted."
.timer on
SELECT rowid, topic, round(jix_distance_l2(embedding, (SELECT v FROM query)), 4) AS distance
FROM docs
ORDER BY jix_distance_l2(embedding, (SELECT v FROM query))
LIMIT 5;
.timer off

.print
.print "Done. The tour used the exact search; for large tables an IVF index reads only the"
.print "lists nearest the query (docs/ivf.md). README.md has a recipe per language, and"
.print "docs/ the whole SQL reference."
