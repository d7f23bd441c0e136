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

-- == KNN queries ==
