#include "support/invariants.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

struct Stmt {
  sqlite3_stmt* stmt = nullptr;
  Stmt(sqlite3* db, const std::string& sql) {
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  }
  ~Stmt() { sqlite3_finalize(stmt); }
  bool Step() { return stmt && sqlite3_step(stmt) == SQLITE_ROW; }
  std::vector<unsigned char> Blob(int c) {
    const unsigned char* p = (const unsigned char*)sqlite3_column_blob(stmt, c);
    return std::vector<unsigned char>(p, p + sqlite3_column_bytes(stmt, c));
  }
};

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool AllZero(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

struct Chunk {
  int64_t size;
  std::vector<unsigned char> validity, rowids;
};

// The index's codes: with a codes map in T_info (a float scale, then a float offset per
// dimension), one row per chunk in T_ivfcodes and no other, chunk size x dimensions bytes,
// each stored row's code the map's code of its indexed vector, free slots zero. Without a
// map, T_ivfcodes (if any) is empty.
template <typename Fail>
void CheckCodes(sqlite3* db, const std::string& schema, const std::string& table, bool hasCodes,
                const std::map<int64_t, Chunk>& chunks,
                const std::map<std::string, std::map<int64_t, std::vector<unsigned char>>>& vectors,
                Fail fail) {
  const std::string info = Quote(schema) + "." + Quote(table + "_info");
  std::vector<unsigned char> map;
  int64_t column = -1;
  {
    Stmt s(db, "SELECT key, value FROM " + info + " WHERE key IN ('IVF_CODES', 'IVF_COLUMN')");
    while (s.Step()) {
      if (strcmp((const char*)sqlite3_column_text(s.stmt, 0), "IVF_CODES") == 0)
        map = s.Blob(1);
      else
        column = sqlite3_column_int64(s.stmt, 1);
    }
  }
  std::map<int64_t, std::vector<unsigned char>> codes;
  if (hasCodes) {
    Stmt s(db, "SELECT chunk_id, codes FROM " + Quote(schema) + "." + Quote(table + "_ivfcodes"));
    while (s.Step()) codes[sqlite3_column_int64(s.stmt, 0)] = s.Blob(1);
  }
  if (map.empty()) {
    if (!codes.empty()) fail(table + "_ivfcodes: codes without a codes map");
    return;
  }
  if (map.size() % 4 != 0 || map.size() < 8) return fail(table + "_info: codes map size");
  const size_t dims = map.size() / 4 - 1;
  std::vector<float> m(dims + 1);
  memcpy(m.data(), map.data(), map.size());
  // The indexed column: IVF_COLUMN, else the vector table whose vectors have these dimensions.
  const std::map<int64_t, std::vector<unsigned char>>* indexed = nullptr;
  for (auto& [name, blobs] : vectors) {
    bool named = column >= 0 && name == table + "_vector_chunks" + (column < 10 ? "0" : "") +
                                            std::to_string(column);
    bool fits = !blobs.empty() && blobs.begin()->second.size() ==
                                      (size_t)chunks.at(blobs.begin()->first).size * 4 * dims;
    if (named || (column < 0 && fits && !indexed)) indexed = &blobs;
  }
  if (!indexed) return fail(table + ": no vector column for the codes");
  for (auto& [id, c] : chunks) {
    auto it = codes.find(id);
    if (it == codes.end()) {
      fail(table + "_ivfcodes: no row for chunk " + std::to_string(id));
      continue;
    }
    const std::vector<unsigned char>& code = it->second;
    const std::vector<unsigned char>& v = indexed->at(id);
    if (code.size() != (size_t)c.size * dims || v.size() != (size_t)c.size * 4 * dims) {
      fail(table + "_ivfcodes: size of chunk " + std::to_string(id));
      continue;
    }
    for (int64_t o = 0; o < c.size; o++) {
      bool valid = (c.validity[o / 8] >> (o % 8)) & 1;
      for (size_t j = 0; j < dims; j++) {
        float x;
        memcpy(&x, v.data() + (o * dims + j) * 4, 4);
        float t = (x - m[1 + j]) / m[0];
        if (!(t >= -127.0f)) t = -127.0f;
        if (t > 127.0f) t = 127.0f;
        int8_t want = valid ? (int8_t)std::lrint(t) : 0;
        if ((int8_t)code[o * dims + j] != want) {
          fail(table + "_ivfcodes: slot " + std::to_string(id) + "/" + std::to_string(o) +
               " has another code");
          break;
        }
      }
    }
  }
  if (codes.size() > chunks.size()) fail(table + "_ivfcodes: rows of missing chunks");
}

}  // namespace

std::string CheckJix0Invariants(sqlite3* db, const std::string& table, const std::string& schema) {
  std::string problems;
  int count = 0;
  auto fail = [&](const std::string& what) {
    if (count++ < 8) problems += what + "\n";
  };
  auto name = [&](const std::string& suffix) {
    return Quote(schema) + "." + Quote(table + suffix);
  };

  // Shadow tables present.
  std::vector<std::string> vectorTables, metadataTables;
  std::set<std::string> textTables;
  bool hasAux = false, hasCodes = false;
  {
    Stmt s(db, "SELECT name FROM " + Quote(schema) +
                   ".sqlite_master WHERE type='table' AND name LIKE '" + table +
                   "\\_%' ESCAPE '\\' ORDER BY name");
    while (s.Step()) {
      std::string n = (const char*)sqlite3_column_text(s.stmt, 0);
      std::string suffix = n.substr(table.size());
      if (suffix.rfind("_vector_chunks", 0) == 0)
        vectorTables.push_back(n);
      else if (suffix.rfind("_metadatachunks", 0) == 0)
        metadataTables.push_back(n);
      else if (suffix.rfind("_metadatatext", 0) == 0)
        textTables.insert(suffix.substr(13));
      else if (suffix == "_auxiliary")
        hasAux = true;
      else if (suffix == "_ivfcodes")
        hasCodes = true;
    }
  }

  std::map<int64_t, Chunk> chunks;
  {
    Stmt s(db, "SELECT chunk_id, size, validity, rowids FROM " + name("_chunks"));
    if (!s.stmt) return "cannot read " + table + "_chunks: " + sqlite3_errmsg(db);
    while (s.Step()) {
      Chunk c{sqlite3_column_int64(s.stmt, 1), s.Blob(2), s.Blob(3)};
      int64_t id = sqlite3_column_int64(s.stmt, 0);
      if ((int64_t)c.validity.size() != c.size / 8)
        fail("chunk " + std::to_string(id) + ": validity size");
      if ((int64_t)c.rowids.size() != c.size * 8)
        fail("chunk " + std::to_string(id) + ": rowids size");
      if (AllZero(c.validity.data(), c.validity.size()))
        fail("chunk " + std::to_string(id) + " is empty");
      chunks[id] = std::move(c);
    }
  }
  if (!problems.empty()) return problems;

  // The id column: NULL in every row without a TEXT primary key, else a distinct TEXT.
  {
    Stmt schemaSql(db, "SELECT sql FROM " + Quote(schema) + ".sqlite_master WHERE name = '" +
                           table + "_rowids'");
    const char* sql =
        schemaSql.Step() ? (const char*)sqlite3_column_text(schemaSql.stmt, 0) : nullptr;
    bool textKey = sql && strstr(sql, "id TEXT UNIQUE");
    Stmt s(db, "SELECT count(*), count(id), count(DISTINCT id), sum(typeof(id) = 'text') FROM " +
                   name("_rowids"));
    if (s.Step()) {
      int64_t rows = sqlite3_column_int64(s.stmt, 0), ids = sqlite3_column_int64(s.stmt, 1);
      if (!textKey && ids != 0) fail(table + "_rowids: an id in a table without a TEXT key");
      if (textKey && (ids != rows || sqlite3_column_int64(s.stmt, 2) != rows ||
                      sqlite3_column_int64(s.stmt, 3) != rows))
        fail(table + "_rowids: ids not distinct TEXT values");
    }
  }

  // Rows and their positions.
  std::map<int64_t, std::pair<int64_t, int64_t>> rows;
  std::set<std::pair<int64_t, int64_t>> owned;
  {
    Stmt s(db, "SELECT rowid, chunk_id, chunk_offset FROM " + name("_rowids"));
    while (s.Step()) {
      int64_t r = sqlite3_column_int64(s.stmt, 0);
      if (sqlite3_column_type(s.stmt, 1) == SQLITE_NULL ||
          sqlite3_column_type(s.stmt, 2) == SQLITE_NULL) {
        fail("row " + std::to_string(r) + " has no position");
        continue;
      }
      int64_t c = sqlite3_column_int64(s.stmt, 1), o = sqlite3_column_int64(s.stmt, 2);
      rows[r] = {c, o};
      auto it = chunks.find(c);
      if (it == chunks.end() || o < 0 || o >= it->second.size) {
        fail("row " + std::to_string(r) + " points to a missing chunk or slot");
        continue;
      }
      if (!owned.insert({c, o}).second)
        fail("slot " + std::to_string(c) + "/" + std::to_string(o) + " owned twice");
      if (!((it->second.validity[o / 8] >> (o % 8)) & 1))
        fail("row " + std::to_string(r) + ": validity bit clear");
      int64_t stored;
      memcpy(&stored, it->second.rowids.data() + 8 * o, 8);
      if (stored != r)
        fail("row " + std::to_string(r) + ": rowid entry holds " + std::to_string(stored));
    }
  }
  for (auto& [id, c] : chunks) {
    for (int64_t o = 0; o < c.size; o++) {
      bool set = (c.validity[o / 8] >> (o % 8)) & 1;
      if (set && !owned.count({id, o}))
        fail("slot " + std::to_string(id) + "/" + std::to_string(o) + " set but unowned");
      if (!set && !AllZero(c.rowids.data() + 8 * o, 8))
        fail("free slot " + std::to_string(id) + "/" + std::to_string(o) + " has a rowid");
    }
  }

  // Per-column chunk tables: one row per chunk, right sizes, zero free slots.
  auto checkColumnTable = [&](const std::string& t, const char* column,
                              std::map<int64_t, std::vector<unsigned char>>* out) {
    Stmt s(db, "SELECT _rowid_, rowid, " + std::string(column) + " FROM " + Quote(schema) + "." +
                   Quote(t));
    std::set<int64_t> seen;
    while (s.Step()) {
      int64_t id = sqlite3_column_int64(s.stmt, 0);
      if (sqlite3_column_int64(s.stmt, 1) != id)
        fail(t + ": rowid column differs from _rowid_ " + std::to_string(id));
      if (!chunks.count(id)) {
        fail(t + ": row for missing chunk " + std::to_string(id));
        continue;
      }
      seen.insert(id);
      (*out)[id] = s.Blob(2);
    }
    for (auto& [id, c] : chunks)
      if (!seen.count(id)) fail(t + ": no row for chunk " + std::to_string(id));
  };
  std::map<std::string, std::map<int64_t, std::vector<unsigned char>>> vectorBlobs;
  for (const std::string& t : vectorTables) {
    std::map<int64_t, std::vector<unsigned char>>& blobs = vectorBlobs[t];
    checkColumnTable(t, "vectors", &blobs);
    size_t vectorWidth = 0;
    for (auto& [id, b] : blobs) {
      const Chunk& c = chunks[id];
      if (b.size() % c.size != 0) {
        fail(t + ": vectors size of chunk " + std::to_string(id));
        continue;
      }
      size_t width = b.size() / c.size;
      if (vectorWidth == 0) vectorWidth = width;
      if (width != vectorWidth)
        fail(t + ": chunk " + std::to_string(id) + " has another vector width");
      for (int64_t o = 0; o < c.size; o++)
        if (!((c.validity[o / 8] >> (o % 8)) & 1) && !AllZero(b.data() + width * o, width))
          fail(t + ": free slot " + std::to_string(id) + "/" + std::to_string(o) +
               " has vector bytes");
    }
  }
  for (const std::string& t : metadataTables) {
    std::string index = t.substr(table.size() + 15);
    std::map<int64_t, std::vector<unsigned char>> blobs;
    checkColumnTable(t, "data", &blobs);
    bool isText = textTables.count(index) > 0;
    std::map<int64_t, std::string> longRows;  // rowid -> its 16-byte entry
    for (auto& [id, b] : blobs) {
      const Chunk& c = chunks[id];
      size_t expected = isText ? c.size * 16 : 0;
      if (!isText && b.size() != (size_t)c.size / 8 && b.size() != (size_t)c.size * 8)
        fail(t + ": data size");
      if (isText && b.size() != expected) fail(t + ": data size");
      if (b.size() < (size_t)c.size / 8) continue;
      size_t width = b.size() * 8 / c.size;  // bits per slot
      for (int64_t o = 0; o < c.size; o++) {
        bool set = (c.validity[o / 8] >> (o % 8)) & 1;
        if (width == 1) {
          if (!set && ((b[o / 8] >> (o % 8)) & 1)) fail(t + ": free slot has a true bit");
          continue;
        }
        const unsigned char* slot = b.data() + width / 8 * o;
        if (!set) {
          if (!AllZero(slot, width / 8))
            fail(t + ": free slot " + std::to_string(id) + "/" + std::to_string(o) + " has bytes");
          continue;
        }
        if (isText) {
          int32_t length;
          memcpy(&length, slot, 4);
          int64_t stored;
          memcpy(&stored, c.rowids.data() + 8 * o, 8);
          if (length > 12) longRows[stored] = std::string((const char*)slot, 16);
          size_t prefix = length < 12 ? (size_t)(length < 0 ? 0 : length) : 12;
          if (!AllZero(slot + 4 + prefix, 12 - prefix)) fail(t + ": text entry padding not zero");
        }
      }
    }
    if (isText) {
      // One row per long text, holding the whole text that the entry's length and prefix describe.
      std::string textTable = table + "_metadatatext" + index;
      Stmt s(db, "SELECT rowid, CAST(data AS BLOB) FROM " + name("_metadatatext" + index));
      std::set<int64_t> textRows;
      while (s.Step()) {
        int64_t r = sqlite3_column_int64(s.stmt, 0);
        textRows.insert(r);
        auto it = longRows.find(r);
        if (it == longRows.end()) continue;
        std::vector<unsigned char> text = s.Blob(1);
        int32_t length;
        memcpy(&length, it->second.data(), 4);
        if ((int64_t)text.size() != length || memcmp(text.data(), it->second.data() + 4, 12) != 0)
          fail(textTable + ": text of row " + std::to_string(r) + " does not match its entry");
      }
      std::set<int64_t> longSet;
      for (auto& [r, entry] : longRows) longSet.insert(r);
      if (textRows != longSet) fail(textTable + ": rows differ from the long texts");
    }
  }
  if (hasAux) {
    Stmt s(db, "SELECT rowid FROM " + name("_auxiliary"));
    std::set<int64_t> auxRows;
    while (s.Step()) auxRows.insert(sqlite3_column_int64(s.stmt, 0));
    std::set<int64_t> rowSet;
    for (auto& [r, pos] : rows) rowSet.insert(r);
    if (auxRows != rowSet) fail(table + "_auxiliary: rows differ from the stored rows");
  }
  CheckCodes(db, schema, table, hasCodes, chunks, vectorBlobs, fail);
  return problems;
}
