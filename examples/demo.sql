-- A tour of jix in the sqlite3 shell. Run with: make demo
.headers on
.mode box

SELECT jix_version() AS version;

-- Vectors are ordinary values: JSON text or compact float32 BLOBs.
SELECT jix_distance_l2('[0, 0]', '[3, 4]')      AS l2,
       jix_distance_l1('[1, 2]', '[3, 5]')      AS l1,
       jix_distance_cosine('[1, 0]', '[0, 1]')  AS cosine;

-- == vector toolkit ==

-- == jix0 tables ==

-- == KNN queries ==
