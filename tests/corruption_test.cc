// Damaged storage: shadow tables changed by hand (BLOBs of the wrong size or type, chunk rows
// missing, positions pointing nowhere, long texts missing, text entries of absurd lengths)
// under every read and write path. Each path reports an error -- the internal-error and
// storage messages where the damage is met -- or answers as on intact storage; none may
// crash or read out of bounds, which the sanitizer build checks on the same cases.
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/test_db.h"

namespace {

// A KNN filter that meets a damaged metadata chunk of column b, n, f or s.
constexpr char kFilterFailed00[] =
    "jix0: could not filter on metadata column \"b\" of t: chunk 1 of "
    "main.t_metadatachunks00 is missing or damaged";
constexpr char kFilterFailed01[] =
    "jix0: could not filter on metadata column \"n\" of t: chunk 1 of "
    "main.t_metadatachunks01 is missing or damaged";
constexpr char kFilterFailed02[] =
    "jix0: could not filter on metadata column \"f\" of t: chunk 1 of "
    "main.t_metadatachunks02 is missing or damaged";
constexpr char kFilterFailed03[] =
    "jix0: could not filter on metadata column \"s\" of t: chunk 1 of "
    "main.t_metadatachunks03 is missing or damaged";

// Chunk 1 (partition 1) holds rows 1 and 2 in slots 0 and 1; chunk 2 (partition 2) holds
// row 3. Row 2's text is long, so it also has a long-text row.
void Fill(TestDb& db) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[4], +aux text,"
      " b boolean, n integer, f float, s text, chunk_size=8)");
  db.Exec(
      "INSERT INTO t(rowid, p, v, aux, b, n, f, s) VALUES"
      " (1, 1, '[1,0,0,0]', 'one', 1, 10, 1.5, 'short'),"
      " (2, 1, '[2,0,0,0]', NULL, 0, 20, 2.5, 'a text longer than twelve bytes'),"
      " (3, 2, '[3,0,0,0]', 'three', 1, 30, 3.5, 'x')");
}

// Every plan with every kind of filter, and every write, as bits so that one outcome can
// name several paths.
enum Path : uint32_t {
  kFullScan = 1u << 0,
  kPoint1 = 1u << 1,
  kPoint2 = 1u << 2,
  kKnn = 1u << 3,
  kKnnColumns = 1u << 4,
  kKnnPartition = 1u << 5,
  kKnnBoolean = 1u << 6,
  kKnnInteger = 1u << 7,
  kKnnIntegerIn = 1u << 8,
  kKnnFloat = 1u << 9,
  kKnnTextEqual = 1u << 10,
  kKnnTextRange = 1u << 11,
  kKnnTextIn = 1u << 12,
  kKnnRowidIn = 1u << 13,
  kKnnDistance = 1u << 14,
  kInsert = 1u << 15,  // into chunk 1, the newest chunk of partition 1
  kDelete1 = 1u << 16,
  kDelete2 = 1u << 17,
  kUpdate1 = 1u << 18,
  kUpdate2 = 1u << 19,
};
constexpr uint32_t kEveryKnn = kKnn | kKnnColumns | kKnnPartition | kKnnBoolean | kKnnInteger |
                               kKnnIntegerIn | kKnnFloat | kKnnTextEqual | kKnnTextRange |
                               kKnnTextIn | kKnnRowidIn | kKnnDistance;
constexpr uint32_t kEveryWrite = kInsert | kDelete1 | kDelete2 | kUpdate1 | kUpdate2;

#define KNN "SELECT rowid FROM t WHERE v MATCH '[0,0,0,0]' AND k = 10 AND "
const struct {
  uint32_t path;
  const char* sql;
} kPaths[] = {
    {kFullScan, "SELECT rowid, p, v, aux, b, n, f, s, distance, k FROM t"},
    {kPoint1, "SELECT rowid, p, v, aux, b, n, f, s FROM t WHERE rowid = 1"},
    {kPoint2, "SELECT rowid, p, v, aux, b, n, f, s FROM t WHERE rowid = 2"},
    {kKnn, "SELECT rowid, distance FROM t WHERE v MATCH '[0,0,0,0]' AND k = 10"},
    {kKnnColumns,
     "SELECT rowid, distance, p, v, aux, b, n, f, s FROM t WHERE v MATCH '[0,0,0,0]' AND k = 10"},
    {kKnnPartition, KNN "p = 1"},
    {kKnnBoolean, KNN "b = 1"},
    {kKnnInteger, KNN "n > 5"},
    {kKnnIntegerIn, KNN "n IN (10, 20)"},
    {kKnnFloat, KNN "f < 10.0"},
    {kKnnTextEqual, KNN "s = 'a text longer than twelve bytes'"},
    {kKnnTextRange, KNN "s > 'a'"},
    {kKnnTextIn, KNN "s IN ('short', 'a text longer than twelve bytes')"},
    {kKnnRowidIn, KNN "rowid IN (1, 2)"},
    {kKnnDistance, KNN "distance < 100"},
    {kInsert,
     "INSERT INTO t(rowid, p, v, aux, b, n, f, s)"
     " VALUES (10, 1, '[9,9,9,9]', 'ten', 1, 100, 10.5, 'a long text for row ten')"},
    {kDelete1, "DELETE FROM t WHERE rowid = 1"},
    {kDelete2, "DELETE FROM t WHERE rowid = 2"},
    {kUpdate1,
     "UPDATE t SET v = '[5,5,5,5]', aux = 'u', b = 0, n = 50, f = 5.5,"
     " s = 'a new long text for one' WHERE rowid = 1"},
    {kUpdate2, "UPDATE t SET s = 'tiny' WHERE rowid = 2"},
};
#undef KNN

struct Outcome {
  uint32_t paths;
  const char* expected;  // rows as text, or the exact error message
};
struct Damage {
  const char* what;
  const char* sql;
  std::vector<Outcome> outcomes;  // paths not named answer as on intact storage
};

// "SQL logic error" is SQLITE_ERROR without a message: partition and auxiliary reads put the
// bare code in the value, and metadata writes return the BLOB call's code. "unknown error" is
// the SQLITE_EMPTY of a partition read for a rowid that has no rowids row.
const Damage kDamages[] = {
    {"validity BLOB empty",
     "UPDATE t_chunks SET validity = X'' WHERE chunk_id = 1",
     {
         {kEveryKnn, "chunk validity size doesn't match - expected 1, found 0"},
         {kInsert,
          "Internal sqlite-jix error: validity blob size mismatch on main.t_chunks.1, expected 1 "
          "but received 0."},
         {kDelete1 | kDelete2, "could not read validity blob for main.t_chunks.1 at 0"},
     }},
    {"validity BLOB one byte too long; a delete writes only its own byte",
     "UPDATE t_chunks SET validity = X'0300' WHERE chunk_id = 1",
     {
         {kEveryKnn, "chunk validity size doesn't match - expected 1, found 2"},
         {kInsert,
          "Internal sqlite-jix error: validity blob size mismatch on main.t_chunks.1, expected 1 "
          "but received 2."},
     }},
    {"rowids BLOB shorter than one entry",
     "UPDATE t_chunks SET rowids = X'00' WHERE chunk_id = 1",
     {
         {kEveryKnn, "chunk rowids size doesn't match - expected 64, found 1"},
         {kInsert,
          "Internal sqlite-jix error: rowids blob size mismatch on main.t_chunks.1. Expected 64, "
          "actual 1"},
         {kDelete1, "could not write to rowids blob for main.t_chunks.1 at 0"},
         {kDelete2, "could not write to rowids blob for main.t_chunks.1 at 1"},
         {kUpdate1, "Internal sqlite-jix error: slot 0 of main.t_chunks.1 does not hold rowid 1"},
         {kUpdate2, "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 2"},
     }},
    {"rowids BLOB cut after slot 1; deletes of slots 0 and 1 still fit",
     "UPDATE t_chunks SET rowids = substr(rowids, 1, 16) WHERE chunk_id = 1",
     {
         {kEveryKnn, "chunk rowids size doesn't match - expected 64, found 16"},
         {kInsert,
          "Internal sqlite-jix error: rowids blob size mismatch on main.t_chunks.1. Expected 64, "
          "actual 16"},
     }},
    {"rowids BLOB one byte too long",
     "UPDATE t_chunks SET rowids = CAST(rowids || X'00' AS BLOB) WHERE chunk_id = 1",
     {
         {kEveryKnn, "chunk rowids size doesn't match - expected 64, found 65"},
         {kInsert,
          "Internal sqlite-jix error: rowids blob size mismatch on main.t_chunks.1. Expected 64, "
          "actual 65"},
     }},
    {"rowids of the right length, stored as TEXT",
     "UPDATE t_chunks SET rowids = CAST(rowids AS TEXT) WHERE chunk_id = 1",
     {
         {kEveryKnn, "Internal sqlite-jix error: validity or rowids of chunk 1 is not a BLOB"},
     }},
    {"validity an INTEGER, whose text form \"1\" has the bitmap's length",
     "UPDATE t_chunks SET validity = 1 WHERE chunk_id = 1",
     {
         {kEveryKnn, "Internal sqlite-jix error: validity or rowids of chunk 1 is not a BLOB"},
         {kInsert, "Internal sqlite-jix error: could not open validity blob on main.t_chunks.1"},
         {kDelete1 | kDelete2, "could not open validity blob for main.t_chunks.1"},
     }},
    {"rowids an INTEGER",
     "UPDATE t_chunks SET rowids = 12345678 WHERE chunk_id = 1",
     {
         {kEveryKnn, "Internal sqlite-jix error: validity or rowids of chunk 1 is not a BLOB"},
         {kInsert, "Internal sqlite-jix error: could not open rowids blob on main.t_chunks.1"},
         {kDelete1 | kDelete2, "could not open rowids blob for main.t_chunks.1"},
         {kUpdate1, "Internal sqlite-jix error: slot 0 of main.t_chunks.1 does not hold rowid 1"},
         {kUpdate2, "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 2"},
     }},
    {"vectors BLOB shorter than one vector",
     "UPDATE t_vector_chunks00 SET vectors = X'0000' WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, reading from blob failed"},
         {kPoint2 | kDelete2 | kUpdate2,
          "Could not fetch vector data for 2, reading from blob failed"},
         {kEveryKnn, "vectors blob size doesn't match - expected 128, found 2"},
         {kInsert,
          "Internal sqlite-jix error: vector blob size mismatch on main.t_vector_chunks00.1. "
          "Expected 128, actual 2"},
     }},
    {"vectors BLOB cut inside slot 1",
     "UPDATE t_vector_chunks00 SET vectors = substr(vectors, 1, 20) WHERE rowid = 1",
     {
         {kFullScan | kPoint2 | kDelete2 | kUpdate2,
          "Could not fetch vector data for 2, reading from blob failed"},
         {kEveryKnn, "vectors blob size doesn't match - expected 128, found 20"},
         {kInsert,
          "Internal sqlite-jix error: vector blob size mismatch on main.t_vector_chunks00.1. "
          "Expected 128, actual 20"},
     }},
    {"vectors BLOB one byte too long",
     "UPDATE t_vector_chunks00 SET vectors = CAST(vectors || X'00' AS BLOB) WHERE rowid = 1",
     {
         {kEveryKnn, "vectors blob size doesn't match - expected 128, found 129"},
         {kInsert,
          "Internal sqlite-jix error: vector blob size mismatch on main.t_vector_chunks00.1. "
          "Expected 128, actual 129"},
     }},
    {"vectors an INTEGER",
     "UPDATE t_vector_chunks00 SET vectors = 5 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, opening blob failed"},
         {kPoint2 | kDelete2 | kUpdate2, "Could not fetch vector data for 2, opening blob failed"},
         {kEveryKnn, "could not open vectors blob for chunk 1"},
         {kInsert, "Error opening vector blob at main.t_vector_chunks00.1"},
     }},
    {"BOOLEAN metadata BLOB empty",
     "UPDATE t_metadatachunks00 SET data = X'' WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column b at rowid 1"},
         {kPoint2, "Could not extract metadata value for column b at rowid 2"},
         {kKnnBoolean, kFilterFailed00},
         {kInsert | kDelete1 | kDelete2 | kUpdate1, "SQL logic error"},
     }},
    {"INTEGER metadata BLOB of one byte",
     "UPDATE t_metadatachunks01 SET data = X'00' WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column n at rowid 1"},
         {kPoint2, "Could not extract metadata value for column n at rowid 2"},
         {kKnnInteger | kKnnIntegerIn, kFilterFailed01},
         {kInsert | kDelete1 | kDelete2 | kUpdate1, "SQL logic error"},
     }},
    {"FLOAT metadata BLOB of one byte",
     "UPDATE t_metadatachunks02 SET data = X'00' WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column f at rowid 1"},
         {kPoint2, "Could not extract metadata value for column f at rowid 2"},
         {kKnnFloat, kFilterFailed02},
         {kInsert | kDelete1 | kDelete2 | kUpdate1, "SQL logic error"},
     }},
    {"TEXT metadata BLOB of one byte",
     "UPDATE t_metadatachunks03 SET data = X'00' WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kPoint2, "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
         {kEveryWrite, "SQL logic error"},
     }},
    {"TEXT metadata BLOB cut inside slot 1",
     "UPDATE t_metadatachunks03 SET data = substr(data, 1, 20) WHERE rowid = 1",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
         {kInsert | kDelete2 | kUpdate2, "SQL logic error"},
     }},
    {"TEXT metadata BLOB one byte too long",
     "UPDATE t_metadatachunks03 SET data = CAST(data || X'00' AS BLOB) WHERE rowid = 1",
     {
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"chunk row missing: its rows cannot be found by a KNN scan",
     "DELETE FROM t_chunks WHERE chunk_id = 1",
     {
         {kFullScan | kPoint1 | kPoint2, "SQL logic error"},
         {kKnn, "3|3.0"},
         {kKnnColumns, "3|3.0|2|X'00004040000000000000000000000000'|three|1|30|3.5|x"},
         {kKnnPartition | kKnnIntegerIn | kKnnTextEqual | kKnnTextIn | kKnnRowidIn, ""},
         {kKnnBoolean | kKnnInteger | kKnnFloat | kKnnTextRange | kKnnDistance, "3"},
         {kDelete1 | kDelete2, "could not open validity blob for main.t_chunks.1"},
         {kUpdate1, "Internal sqlite-jix error: slot 0 of main.t_chunks.1 does not hold rowid 1"},
         {kUpdate2, "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 2"},
     }},
    {"vector chunk row missing",
     "DELETE FROM t_vector_chunks00 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, opening blob failed"},
         {kPoint2 | kDelete2 | kUpdate2, "Could not fetch vector data for 2, opening blob failed"},
         {kEveryKnn, "could not open vectors blob for chunk 1"},
         {kInsert, "Error opening vector blob at main.t_vector_chunks00.1"},
     }},
    {"BOOLEAN metadata chunk row missing",
     "DELETE FROM t_metadatachunks00 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column b at rowid 1"},
         {kPoint2, "Could not extract metadata value for column b at rowid 2"},
         {kKnnBoolean, "Could not open metadata blob"},
         {kInsert | kDelete1 | kDelete2 | kUpdate1, "SQL logic error"},
     }},
    {"TEXT metadata chunk row missing",
     "DELETE FROM t_metadatachunks03 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kPoint2, "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, "Could not open metadata blob"},
         {kEveryWrite, "SQL logic error"},
     }},
    {"position in a chunk that does not exist",
     "UPDATE t_rowids SET chunk_id = 99 WHERE rowid = 1",
     {
         {kFullScan, "SQL logic error"},
         {kPoint1 | kDelete1 | kUpdate1, "Could not fetch vector data for 1, opening blob failed"},
     }},
    {"position past the chunk",
     "UPDATE t_rowids SET chunk_offset = 5000 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, reading from blob failed"},
     }},
    {"negative position",
     "UPDATE t_rowids SET chunk_offset = -1 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, reading from blob failed"},
     }},
    {"position naming row 2's slot: reads meet row 2's long text under rowid 1; writes refuse",
     "UPDATE t_rowids SET chunk_offset = 1 WHERE rowid = 1",
     {
         {kFullScan | kPoint1, "Could not extract metadata value for column s at rowid 1"},
         {kDelete1, "jix0 deletion error: slot 1 of main.t_chunks.1 holds rowid 2, not 1"},
         {kUpdate1, "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 1"},
     }},
    {"position naming a free slot inside the chunk: readers trust positions and see zeros; writes "
     "refuse",
     "UPDATE t_rowids SET chunk_offset = 7 WHERE rowid = 1",
     {
         {kFullScan,
          "2|1|X'00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes|NULL|NULL\n1|1|X'00000000000000000000000000000000'|one|0|0|0.0||NULL|NULL\n3|2|X'"
          "00004040000000000000000000000000'|three|1|30|3.5|x|NULL|NULL"},
         {kPoint1, "1|1|X'00000000000000000000000000000000'|one|0|0|0.0|"},
         {kDelete1, "jix0 deletion error: validity bit is not set for main.t_chunks.1 at 0"},
         {kUpdate1, "Internal sqlite-jix error: slot 7 of main.t_chunks.1 does not hold rowid 1"},
     }},
    {"position never recorded",
     "UPDATE t_rowids SET chunk_id = NULL, chunk_offset = NULL WHERE rowid = 1",
     {
         {kFullScan, "SQL logic error"},
         {kPoint1 | kDelete1 | kUpdate1, "Could not fetch vector data for 1, opening blob failed"},
     }},
    {"position that overflows a 32-bit BLOB offset",
     "UPDATE t_rowids SET chunk_offset = 4294967296 WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, reading from blob failed"},
     }},
    {"position as TEXT: reads as slot 0, sorts after the integers",
     "UPDATE t_rowids SET chunk_offset = 'x' WHERE rowid = 1",
     {
         {kFullScan,
          "2|1|X'00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes|NULL|NULL\n1|1|X'0000803F000000000000000000000000'|one|1|10|1.5|short|NULL|"
          "NULL\n3|2|X'00004040000000000000000000000000'|three|1|30|3.5|x|NULL|NULL"},
     }},
    {"long-text row missing",
     "DELETE FROM t_metadatatext03 WHERE rowid = 2",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"long-text row shorter than its entry says",
     "UPDATE t_metadatatext03 SET data = 'short' WHERE rowid = 2",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"long-text row NULL",
     "UPDATE t_metadatatext03 SET data = NULL WHERE rowid = 2",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"text entry of 1000000 bytes with no long-text row; the IN list never asks for it",
     "UPDATE t_metadatachunks03 SET data = CAST(X'40420F00' || substr(data, 5) AS BLOB) WHERE "
     "rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kKnnTextRange, kFilterFailed03},
         {kKnnTextIn, "2"},
     }},
    {"text entry of length -5",
     "UPDATE t_metadatachunks03 SET data = CAST(X'FBFFFFFF' || substr(data, 5) AS BLOB) WHERE "
     "rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"text entry of 13 bytes with no long-text row",
     "UPDATE t_metadatachunks03 SET data = CAST(X'0D000000' || substr(data, 5) AS BLOB) WHERE "
     "rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kKnnTextRange, kFilterFailed03},
         {kKnnTextIn, "2"},
     }},
    {"text entry of INT32_MAX bytes",
     "UPDATE t_metadatachunks03 SET data = CAST(X'FFFFFF7F' || substr(data, 5) AS BLOB) WHERE "
     "rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kKnnTextRange, kFilterFailed03},
         {kKnnTextIn, "2"},
     }},
    {"text entry of INT32_MIN bytes",
     "UPDATE t_metadatachunks03 SET data = CAST(X'00000080' || substr(data, 5) AS BLOB) WHERE "
     "rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 1"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
     }},
    {"row 2's text entry says 13 bytes, its long-text row holds 31",
     "UPDATE t_metadatachunks03 SET data = CAST(substr(data, 1, 16) || X'0D000000' || substr(data, "
     "21) AS BLOB) WHERE rowid = 1",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual, ""},
         {kKnnTextRange, kFilterFailed03},
         {kKnnTextIn, "1"},
     }},
    {"a free slot's text entry says 64 bytes",
     "UPDATE t_metadatachunks03 SET data = CAST(substr(data, 1, 32) || X'40000000' || substr(data, "
     "37) AS BLOB) WHERE rowid = 1",
     {
         {kKnnTextRange, kFilterFailed03},
     }},
    {"auxiliary row missing",
     "DELETE FROM t_auxiliary WHERE rowid = 1",
     {
         {kFullScan | kPoint1 | kKnnColumns, "SQL logic error"},
     }},
    {"rowids row missing: the chunk still lists rowid 1",
     "DELETE FROM t_rowids WHERE rowid = 1",
     {
         {kFullScan,
          "2|1|X'00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes|NULL|NULL\n3|2|X'00004040000000000000000000000000'|three|1|30|3.5|x|NULL|NULL"},
         {kPoint1, ""},
     }},
    {"validity bits of live rows cleared",
     "UPDATE t_chunks SET validity = X'00' WHERE chunk_id = 1",
     {
         {kKnn, "3|3.0"},
         {kKnnColumns, "3|3.0|2|X'00004040000000000000000000000000'|three|1|30|3.5|x"},
         {kKnnPartition | kKnnIntegerIn | kKnnTextEqual | kKnnTextIn | kKnnRowidIn, ""},
         {kKnnBoolean | kKnnInteger | kKnnFloat | kKnnTextRange | kKnnDistance, "3"},
         {kDelete1 | kDelete2,
          "jix0 deletion error: validity bit is not set for main.t_chunks.1 at 0"},
     }},
    {"validity bits of free slots set: their rowid 0 could be a real row's",
     "UPDATE t_chunks SET validity = X'FF' WHERE chunk_id = 1",
     {
         {kKnn, "0|0.0\n0|0.0\n0|0.0\n0|0.0\n0|0.0\n0|0.0\n1|1.0\n2|2.0\n3|3.0"},
         {kKnnColumns, "SQL logic error"},
         {kKnnPartition, "0\n0\n0\n0\n0\n0\n1\n2"},
         {kKnnFloat | kKnnDistance, "0\n0\n0\n0\n0\n0\n1\n2\n3"},
     }},
    {"rowid array names a row that does not exist",
     "UPDATE t_chunks SET rowids = CAST(X'4D00000000000000' || substr(rowids, 9) AS BLOB) WHERE "
     "chunk_id = 1",
     {
         {kKnn, "77|1.0\n2|2.0\n3|3.0"},
         {kKnnColumns, "SQL logic error"},
         {kKnnPartition | kKnnIntegerIn | kKnnTextIn, "77\n2"},
         {kKnnBoolean, "77\n3"},
         {kKnnInteger | kKnnFloat | kKnnTextRange | kKnnDistance, "77\n2\n3"},
         {kKnnRowidIn, "2"},
         {kDelete1, "jix0 deletion error: slot 0 of main.t_chunks.1 holds rowid 77, not 1"},
         {kUpdate1, "Internal sqlite-jix error: slot 0 of main.t_chunks.1 does not hold rowid 1"},
     }},
    {"partition value changed under the chunk's rows",
     "UPDATE t_chunks SET partition00 = 7 WHERE chunk_id = 1",
     {
         {kFullScan,
          "1|7|X'0000803F000000000000000000000000'|one|1|10|1.5|short|NULL|NULL\n2|7|X'"
          "00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes|NULL|NULL\n3|2|X'00004040000000000000000000000000'|three|1|30|3.5|x|NULL|NULL"},
         {kPoint1, "1|7|X'0000803F000000000000000000000000'|one|1|10|1.5|short"},
         {kPoint2,
          "2|7|X'00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve bytes"},
         {kKnnColumns,
          "1|1.0|7|X'0000803F000000000000000000000000'|one|1|10|1.5|short\n2|2.0|7|X'"
          "00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes\n3|3.0|2|X'00004040000000000000000000000000'|three|1|30|3.5|x"},
         {kKnnPartition, ""},
     }},
    {"partition value NULL",
     "UPDATE t_chunks SET partition00 = NULL WHERE chunk_id = 1",
     {
         {kFullScan,
          "1|NULL|X'0000803F000000000000000000000000'|one|1|10|1.5|short|NULL|NULL\n2|NULL|X'"
          "00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes|NULL|NULL\n3|2|X'00004040000000000000000000000000'|three|1|30|3.5|x|NULL|NULL"},
         {kPoint1, "1|NULL|X'0000803F000000000000000000000000'|one|1|10|1.5|short"},
         {kPoint2,
          "2|NULL|X'00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes"},
         {kKnnColumns,
          "1|1.0|NULL|X'0000803F000000000000000000000000'|one|1|10|1.5|short\n2|2.0|NULL|X'"
          "00000040000000000000000000000000'|NULL|0|20|2.5|a text longer than twelve "
          "bytes\n3|3.0|2|X'00004040000000000000000000000000'|three|1|30|3.5|x"},
         {kKnnPartition, ""},
     }},
    {"stored size is not read: the declaration's chunk_size rules",
     "UPDATE t_chunks SET size = 4096 WHERE chunk_id = 1",
     {}},
    {"long-text table dropped",
     "DROP TABLE t_metadatatext03",
     {
         {kFullScan | kPoint2 | kKnnColumns,
          "Could not extract metadata value for column s at rowid 2"},
         {kKnnTextEqual | kKnnTextRange | kKnnTextIn, kFilterFailed03},
         {kInsert | kDelete2 | kUpdate1 | kUpdate2, "SQL logic error"},
     }},
    {"auxiliary table dropped",
     "DROP TABLE t_auxiliary",
     {
         {kFullScan | kPoint1 | kPoint2 | kKnnColumns | kInsert | kDelete1 | kDelete2 | kUpdate1,
          "SQL logic error"},
     }},
    {"vector chunks table dropped",
     "DROP TABLE t_vector_chunks00",
     {
         {kFullScan | kPoint1 | kDelete1 | kUpdate1,
          "Could not fetch vector data for 1, opening blob failed"},
         {kPoint2 | kDelete2 | kUpdate2, "Could not fetch vector data for 2, opening blob failed"},
         {kEveryKnn, "could not open vectors blob for chunk 1"},
         {kInsert, "Error opening vector blob at main.t_vector_chunks00.1"},
     }},
};

bool IsWrite(uint32_t path) {
  return (path & kEveryWrite) != 0;
}

std::string Expected(const Damage& damage, uint32_t path, const std::string& intact) {
  for (const Outcome& outcome : damage.outcomes) {
    if (outcome.paths & path) return outcome.expected;
  }
  return intact;
}

TEST(Corruption, EveryPathReportsDamageOrAnswersAsIntact) {
  std::vector<std::string> intact;
  {
    for (const auto& path : kPaths) {
      TestDb db;
      Fill(db);
      intact.push_back(db.Query(path.sql));
    }
  }
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(std::string(damage.what) + ": " + damage.sql);
    // Reads share one damaged database; each write gets its own.
    TestDb reads;
    Fill(reads);
    reads.Exec(damage.sql);
    for (size_t i = 0; i < std::size(kPaths); i++) {
      SCOPED_TRACE(kPaths[i].sql);
      if (!IsWrite(kPaths[i].path)) {
        EXPECT_EQ(reads.Query(kPaths[i].sql), Expected(damage, kPaths[i].path, intact[i]));
        continue;
      }
      TestDb db;
      Fill(db);
      db.Exec(damage.sql);
      EXPECT_EQ(WithoutRolledBackNote(db.Query(kPaths[i].sql)),
                Expected(damage, kPaths[i].path, intact[i]));
    }
  }
}

// An IVF table's own objects: damaged centroids, build id, list values and a missing index or
// centroids table are reported by every path that reads them, or leave answers intact.
TEST(Corruption, IvfIndexDamage) {
  auto fill = [](TestDb& db) {
    db.Exec(
        "CREATE VIRTUAL TABLE t USING jix0(v float[4] index=ivf lists=2 probes=1, n integer, "
        "chunk_size=8)");
    db.Exec(
        "WITH RECURSIVE g(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM g WHERE i < 20) "
        "INSERT INTO t(rowid, v, n) SELECT i, json_array((i % 2) * 100 + i, 0, 0, 0), i FROM g");
    db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  };
  const char* paths[] = {
      "SELECT rowid, distance FROM t WHERE v MATCH '[0,0,0,0]' AND k = 3",
      "SELECT rowid, distance FROM t WHERE v MATCH '[0,0,0,0]' AND k = 3 AND probes = 2",
      "SELECT count(*) FROM t WHERE v MATCH '[0,0,0,0]' AND k = 30 AND n > 0",
      "INSERT INTO t(rowid, v, n) VALUES (100, '[1,0,0,0]', 1)",
      "UPDATE t SET v = '[150,0,0,0]' WHERE rowid = 2",
      "INSERT INTO t(t) VALUES ('build-index')",
      "DELETE FROM t WHERE rowid = 3",
      "INSERT INTO t(t) VALUES ('optimize')",
  };
  constexpr const char* kBadCentroid =
      "Internal sqlite-jix error: the IVF centroid of list 0 of t is missing or not a BLOB of 16 "
      "bytes";
  constexpr const char* kBadMap =
      "Internal sqlite-jix error: the IVF codes map of t is not a BLOB of 20 bytes";
  const struct {
    const char* damage;
    std::vector<const char*> expected;  // one per path; nullptr: as on intact storage
  } cases[] = {
      {"UPDATE t_ivfcentroids SET centroid = X'00' WHERE list = 0",
       {kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, nullptr, nullptr,
        nullptr}},
      {"UPDATE t_ivfcentroids SET centroid = 'sixteen bytes!!!' WHERE list = 0",
       {kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, nullptr, nullptr,
        nullptr}},
      {"DELETE FROM t_ivfcentroids WHERE list = 0",
       {kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, kBadCentroid, nullptr, nullptr,
        nullptr}},
      {"UPDATE t_info SET value = 'x' WHERE key = 'IVF_BUILD'",
       {"Internal sqlite-jix error: the IVF build id of t is not an integer",
        "Internal sqlite-jix error: the IVF build id of t is not an integer",
        "Internal sqlite-jix error: the IVF build id of t is not an integer",
        "Internal sqlite-jix error: the IVF build id of t is not an integer",
        "Internal sqlite-jix error: the IVF build id of t is not an integer", nullptr, nullptr,
        nullptr}},
      {"DROP TABLE t_ivfcentroids",
       {"Internal sqlite-jix error: could not read the IVF centroids of t: no such table: "
        "main.t_ivfcentroids",
        "Internal sqlite-jix error: could not read the IVF centroids of t: no such table: "
        "main.t_ivfcentroids",
        "Internal sqlite-jix error: could not read the IVF centroids of t: no such table: "
        "main.t_ivfcentroids",
        "Internal sqlite-jix error: could not read the IVF centroids of t: no such table: "
        "main.t_ivfcentroids",
        "Internal sqlite-jix error: could not read the IVF centroids of t: no such table: "
        "main.t_ivfcentroids",
        "Internal sqlite-jix error: build-index cannot write the centroids of t: no such table: "
        "main.t_ivfcentroids",
        nullptr, nullptr}},
      // Chunks whose list is no list number are searched by every query, not lost.
      {"UPDATE t_chunks SET list = 'a' WHERE chunk_id = (SELECT min(chunk_id) FROM t_chunks)",
       {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
      {"UPDATE t_chunks SET list = 7 WHERE chunk_id = (SELECT min(chunk_id) FROM t_chunks)",
       {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
      // The codes: a damaged codes BLOB or map is reported by the paths that read or write
      // the codes (searches of some lists, writes), and never by exact searches or builds.
      // Row 3's chunk lies in the list the query at the origin reads last.
      {"UPDATE t_ivfcodes SET codes = X'00' WHERE chunk_id = (SELECT chunk_id FROM t_rowids "
       "WHERE rowid = 3)",
       {nullptr, nullptr, "codes blob size doesn't match - expected 32, found 1", nullptr, nullptr,
        nullptr,
        "jix0: the codes of chunk 4 in main.t_ivfcodes are damaged: 1 bytes, no room for slot 1",
        "Internal sqlite-jix error: optimize found a BLOB of 1 bytes in main.t_ivfcodes.4, "
        "expected 32"}},
      {"DELETE FROM t_ivfcodes",
       {"could not open codes blob for chunk 5", nullptr, "could not open codes blob for chunk 5",
        "jix0: could not open the codes of chunk 6 in main.t_ivfcodes",
        "jix0: could not open the codes of chunk 5 in main.t_ivfcodes", nullptr,
        "jix0: could not open the codes of chunk 4 in main.t_ivfcodes",
        "Internal sqlite-jix error: optimize could not open main.t_ivfcodes.5: no such rowid: 5"}},
      // The map is read with the build's centroids: every search and placing write reports it.
      {"UPDATE t_info SET value = X'00' WHERE key = 'IVF_CODES'",
       {kBadMap, kBadMap, kBadMap, kBadMap, kBadMap, nullptr, nullptr, nullptr}},
  };
  std::vector<std::string> intact;
  for (const char* path : paths) {
    TestDb db;
    fill(db);
    intact.push_back(db.Query(path));
  }
  for (const auto& c : cases) {
    for (size_t i = 0; i < std::size(paths); i++) {
      SCOPED_TRACE(std::string(c.damage) + ": " + paths[i]);
      TestDb db;
      fill(db);
      db.Exec(c.damage);
      EXPECT_EQ(WithoutRolledBackNote(db.Query(paths[i])),
                c.expected[i] ? c.expected[i] : intact[i]);
    }
  }
}

// A position naming another live row's slot reads that row's values without notice (the
// readers trust positions), but a write through it must not touch the other row: the delete
// would clear it and the update overwrite it. Both are refused before anything is written.
TEST(Corruption, WritesRefuseASlotThatHoldsAnotherRow) {
  const SqlCase cases[] = {
      {"DELETE FROM t WHERE rowid = 1",
       "jix0 deletion error: slot 1 of main.t_chunks.1 holds rowid 2, not 1"},
      {"UPDATE t SET v = '[5,5,5,5]', n = 50, s = 'tiny' WHERE rowid = 1",
       "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 1"},
      {"UPDATE t SET n = 50 WHERE rowid = 1",
       "Internal sqlite-jix error: slot 1 of main.t_chunks.1 does not hold rowid 1"},
  };
  for (bool inTransaction : {false, true}) {
    for (const SqlCase& c : cases) {
      SCOPED_TRACE(std::string(c.sql) + (inTransaction ? " inside BEGIN" : ""));
      TestDb db;
      Fill(db);
      db.Exec("UPDATE t_rowids SET chunk_offset = 1 WHERE rowid = 1");
      const std::string before = db.DumpTables("t_");
      if (inTransaction) db.Exec("BEGIN");
      EXPECT_EQ(db.Query(c.sql), c.expected);
      if (inTransaction) db.Exec("COMMIT");
      EXPECT_EQ(db.DumpTables("t_"), before);
      EXPECT_EQ(db.Query("SELECT rowid, v, n, s FROM t WHERE rowid = 2"),
                "2|X'00000040000000000000000000000000'|20|a text longer than twelve bytes");
    }
  }
}

}  // namespace
