-- A tour of jix in the sqlite3 shell. Run with: make demo
.headers on
.mode box

SELECT jix_version() AS version;

-- Vectors are ordinary values: JSON text or compact float32 BLOBs.
SELECT jix_distance_l2('[0, 0]', '[3, 4]')      AS l2,
       jix_distance_l1('[1, 2]', '[3, 5]')      AS l1,
       jix_distance_cosine('[1, 0]', '[0, 1]')  AS cosine;

-- == vector toolkit ==

-- Inspect and convert: length, element type, JSON text.
SELECT jix_length('[0.1, -0.4, 0.9]')           AS length,
       jix_type(jix_int8('[1, -2]'))            AS type,
       jix_to_json(jix_f32('[0.25, -1]'))       AS json;

-- Quantise two float vectors to int8 (one byte per element) and to bits (the sign of
-- each element), then compare their distances at each precision.
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

-- Arithmetic on vectors, and jix_each to list the elements as rows.
SELECT rowid, value
FROM jix_each(jix_normalize(jix_sub('[4, 6]', '[1, 2]')));

-- == jix0 tables ==

-- A jix0 table: a partition key, three vector columns (one per element type), an
-- auxiliary column returned as stored, and metadata columns that KNN queries can filter.
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

-- Rows live in chunks of 8 slots, one chunk per partition; each row knows its slot.
SELECT rowid, chunk_id, chunk_offset FROM tracks_rowids;
SELECT chunk_id, partition00 AS user_id, hex(validity) AS occupied_slots FROM tracks_chunks;

-- == KNN queries ==

-- The two nearest jazz tracks with at least 100 plays. Filters narrow each chunk before
-- any distance is computed, so k counts only rows that pass them: one row here.
SELECT rowid, title, genre, plays, round(distance, 4) AS distance
FROM tracks
WHERE embedding MATCH '[0.85, 0.15, 0.2, 0.3]' AND k = 2
  AND genre = 'jazz' AND plays >= 100;

-- int8 search inside one partition, with a bound on the distance.
SELECT rowid, title, round(distance, 2) AS distance
FROM tracks
WHERE embedding_int8 MATCH jix_int8('[100, 20, 20, 40]') AND k = 3
  AND user_id = 1 AND distance < 20
ORDER BY distance;
