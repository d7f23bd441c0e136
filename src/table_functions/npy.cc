// The .npy reader (tokenizer, header parser, BLOB and file readers), jix_npy_file and the
// jix_npy_each module. Every size and offset is computed in 64 bits with overflow checks: a
// crafted shape must never make a small input look large enough to read.
#include "table_functions/npy.h"

#include <fcntl.h>

#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "base/argument_plan.h"
#include "base/handles.h"
#include "vector/vector.h"

namespace {

constexpr uint8_t kNpyMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr int kNpyPrefixBytes = 10;  // magic, version, header length
constexpr uint64_t kNpyChunkVectors = 1024;
constexpr const char kNpyFilePointerType[] = "jix0-npy-file";

enum NpyInputKind : int { NPY_INPUT_MEMORY = 0, NPY_INPUT_FILE = 1 };

// The value jix_npy_file returns. The path is copied into the same allocation, so the
// pointer value does not depend on the argument outliving it.
struct npy_file_ref {
  char* path;  // null for a NULL argument
  sqlite3_int64 pathLength;
};

struct jix_npy_each_cursor {
  sqlite3_vtab_cursor base;  // must be first
  sqlite3_int64 index;       // also the rowid
  int elementType;
  uint64_t numVectors;
  uint64_t dimensions;
  int inputKind;
  const uint8_t* memoryData;  // into the argument's bytes, never owned
  FILE* file;
  uint8_t* chunk;
  uint64_t chunkBytes;
  uint64_t chunkCapacity;  // in vectors
  uint64_t chunkPosition;
  uint64_t chunkCount;  // vectors read into the chunk
  bool fileEnd;
};

struct CloseFile {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, CloseFile>;

bool is_npy_space(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool token_is(const NpyToken& token, const char* text) {
  size_t n = strlen(text);
  return (size_t)(token.end - token.start) == n && memcmp(token.start, text, n) == 0;
}

// The token's digits as a number, saturating at UINT64_MAX.
uint64_t token_number(const NpyToken& token) {
  uint64_t value = 0;
  for (const char* p = token.start; p < token.end; p++) {
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, (uint64_t)(*p - '0'), &value)) {
      return UINT64_MAX;
    }
  }
  return value;
}

int header_error(sqlite3_vtab* vtab, const char* what) {
  vtab_set_error(vtab, "Error parsing numpy array: %s", what);
  return SQLITE_ERROR;
}

// Bytes of one vector; false when they do not fit in 64 bits.
bool npy_vector_bytes(int elementType, uint64_t dimensions, uint64_t* out) {
  if (elementType == JIX_ELEMENT_FLOAT32) return !__builtin_mul_overflow(dimensions, 4u, out);
  *out = vector_byte_size(elementType, dimensions);
  return true;
}

// Bytes of the whole data section; false when they do not fit in a signed 64-bit integer.
bool npy_data_bytes(int elementType, uint64_t numVectors, uint64_t dimensions, int64_t* out) {
  uint64_t vectorBytes;
  return npy_vector_bytes(elementType, dimensions, &vectorBytes) &&
         !__builtin_mul_overflow(vectorBytes, numVectors, out);
}

// Compares the data size the header promises with the one present. prefix names the input
// kind in the message ("numpy array" or "numpy array file").
int check_data_size(sqlite3_vtab* vtab, const char* prefix, int elementType, uint64_t numVectors,
                    uint64_t dimensions, int64_t found) {
  int64_t expected;
  if (!npy_data_bytes(elementType, numVectors, dimensions, &expected)) {
    vtab_set_error(vtab, "%s error: Expected a data size too large for 64 bits, found %lld", prefix,
                   (long long)found);
    return SQLITE_ERROR;
  }
  if (expected != found) {
    vtab_set_error(vtab, "%s error: Expected a data size of %lld, found %lld", prefix,
                   (long long)expected, (long long)found);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

uint16_t header_length_of(const uint8_t* prefix) {
  return (uint16_t)(prefix[8] | (prefix[9] << 8));
}

// Reads a whole .npy file's prefix and header and its first chunk into the cursor, which
// takes the file over on success. On failure the cursor is unchanged and the caller still
// owns the file.
int parse_npy_file(sqlite3_vtab* vtab, FILE* file, jix_npy_each_cursor* cursor) {
  if (fseeko(file, 0, SEEK_END) != 0) {
    vtab_set_error(vtab, "numpy array file size could not be determined");
    return SQLITE_ERROR;
  }
  off_t fileSize = ftello(file);
  if (fileSize < 0 || fseeko(file, 0, SEEK_SET) != 0) {
    vtab_set_error(vtab, "numpy array file size could not be determined");
    return SQLITE_ERROR;
  }

  uint8_t prefix[kNpyPrefixBytes];
  if (fread(prefix, 1, sizeof(prefix), file) != sizeof(prefix)) {
    vtab_set_error(vtab, "numpy array file too short");
    return SQLITE_ERROR;
  }
  if (memcmp(prefix, kNpyMagic, sizeof(kNpyMagic)) != 0) {
    vtab_set_error(vtab, "numpy array file does not contain the 'magic' header");
    return SQLITE_ERROR;
  }
  uint16_t headerLength = header_length_of(prefix);
  int64_t dataSize = (int64_t)fileSize - headerLength - kNpyPrefixBytes;
  if (dataSize < 0) {
    vtab_set_error(vtab, "numpy array file header length is invalid");
    return SQLITE_ERROR;
  }

  int elementType;
  uint64_t numVectors, dimensions;
  {
    SqlitePtr<char> header((char*)sqlite3_malloc64(headerLength));
    if (!header && headerLength != 0) return SQLITE_NOMEM;
    if (fread(header.get(), 1, headerLength, file) != headerLength) {
      vtab_set_error(vtab, "numpy array file header length is invalid");
      return SQLITE_ERROR;
    }
    int rc =
        parse_npy_header(vtab, header.get(), headerLength, &elementType, &numVectors, &dimensions);
    if (rc != SQLITE_OK) return rc;
  }
  int rc = check_data_size(vtab, "numpy array file", elementType, numVectors, dimensions, dataSize);
  if (rc != SQLITE_OK) return rc;

  // The data size check bounds vectorBytes * numVectors, so the chunk size cannot overflow;
  // a chunk never holds more vectors than the file has.
  uint64_t vectorBytes;
  npy_vector_bytes(elementType, dimensions, &vectorBytes);
  uint64_t capacity = numVectors < kNpyChunkVectors ? numVectors : kNpyChunkVectors;
  uint64_t chunkBytes = vectorBytes * capacity;
  SqlitePtr<uint8_t> chunk((uint8_t*)sqlite3_malloc64(chunkBytes));
  if (!chunk && chunkBytes != 0) return SQLITE_NOMEM;
  size_t count = vectorBytes == 0 ? 0 : fread(chunk.get(), vectorBytes, capacity, file);

  cursor->elementType = elementType;
  cursor->numVectors = numVectors;
  cursor->dimensions = dimensions;
  cursor->inputKind = NPY_INPUT_FILE;
  cursor->chunk = chunk.release();
  cursor->chunkBytes = chunkBytes;
  cursor->chunkCapacity = capacity;
  cursor->chunkPosition = 0;
  cursor->chunkCount = count;
  cursor->fileEnd = count == 0;
  cursor->file = file;
  return SQLITE_OK;
}

// Opens path for reading, refusing anything but a regular file: reading a FIFO or a
// character device would block the connection without end, and a directory has no data.
// The path is checked before opening, and the opened file again, as the path may change
// between the two; O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
int open_npy_file(sqlite3_vtab* vtab, const char* path, FilePtr* outFile) {
  struct stat info;
  if (!path || stat(path, &info) != 0) {
    vtab_set_error(vtab, "Could not open numpy file");
    return SQLITE_ERROR;
  }
  if (!S_ISREG(info.st_mode)) {
    vtab_set_error(vtab, "Could not open numpy file: not a regular file");
    return SQLITE_ERROR;
  }
#ifdef _WIN32
  // Windows has no FIFOs to wait on, and stat has refused what is not a regular file.
  FILE* file = fopen(path, "rb");
  if (!file) {
    vtab_set_error(vtab, "Could not open numpy file");
    return SQLITE_ERROR;
  }
#else
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    vtab_set_error(vtab, "Could not open numpy file");
    return SQLITE_ERROR;
  }
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    vtab_set_error(vtab, "Could not open numpy file: not a regular file");
    return SQLITE_ERROR;
  }
  FILE* file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    vtab_set_error(vtab, "Could not open numpy file");
    return SQLITE_ERROR;
  }
#endif
  outFile->reset(file);
  return SQLITE_OK;
}

void npy_cursor_reset(jix_npy_each_cursor* cursor) {
  if (cursor->file) fclose(cursor->file);
  sqlite3_free(cursor->chunk);
  cursor->file = nullptr;
  cursor->chunk = nullptr;
  cursor->chunkBytes = 0;
  cursor->chunkCapacity = 0;
  cursor->chunkPosition = 0;
  cursor->chunkCount = 0;
  cursor->fileEnd = false;
  cursor->memoryData = nullptr;
  cursor->numVectors = 0;
  cursor->dimensions = 0;
  cursor->elementType = 0;
  cursor->inputKind = NPY_INPUT_MEMORY;
  cursor->index = 0;
}

int jix_npy_eachConnect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** outVtab,
                        char**) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(vector, input hidden)");
  if (rc != SQLITE_OK) return rc;
  auto* vtab = malloc_zeroed<sqlite3_vtab>();
  if (!vtab) return SQLITE_NOMEM;
  *outVtab = vtab;
  return SQLITE_OK;
}

int jix_npy_eachDisconnect(sqlite3_vtab* vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

constexpr int kColumnVector = 0;
constexpr int kColumnInput = 1;

int jix_npy_eachBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  return table_function_argument_plan(info, kColumnInput);
}

int jix_npy_eachOpen(sqlite3_vtab*, sqlite3_vtab_cursor** outCursor) {
  auto* cursor = malloc_zeroed<jix_npy_each_cursor>();
  if (!cursor) return SQLITE_NOMEM;
  *outCursor = &cursor->base;
  return SQLITE_OK;
}

int jix_npy_eachClose(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_npy_each_cursor*)base;
  npy_cursor_reset(cursor);
  sqlite3_free(cursor);
  return SQLITE_OK;
}

int jix_npy_eachFilter(sqlite3_vtab_cursor* base, int, const char*, int argc,
                       sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  auto* cursor = (jix_npy_each_cursor*)base;
  sqlite3_vtab* vtab = base->pVtab;
  npy_cursor_reset(cursor);

  auto* ref = (npy_file_ref*)sqlite3_value_pointer(argv[0], kNpyFilePointerType);
  if (ref) {
    FilePtr file;
    int rc = open_npy_file(vtab, ref->path, &file);
    if (rc != SQLITE_OK) return rc;
    rc = parse_npy_file(vtab, file.get(), cursor);
    if (rc != SQLITE_OK) return rc;
    file.release();  // the cursor owns it now
  } else {
    const uint8_t* bytes = (const uint8_t*)sqlite3_value_blob(argv[0]);
    int length = sqlite3_value_bytes(argv[0]);
    const uint8_t* data;
    uint64_t numVectors, dimensions;
    int elementType;
    int rc = parse_npy_buffer(vtab, bytes, length, &data, &numVectors, &dimensions, &elementType);
    if (rc != SQLITE_OK) return rc;
    cursor->memoryData = data;
    cursor->numVectors = numVectors;
    cursor->dimensions = dimensions;
    cursor->elementType = elementType;
    cursor->inputKind = NPY_INPUT_MEMORY;
  }
  cursor->index = 0;
  return SQLITE_OK;
}

int jix_npy_eachNext(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_npy_each_cursor*)base;
  cursor->index++;
  if (cursor->inputKind != NPY_INPUT_FILE || cursor->fileEnd) return SQLITE_OK;
  cursor->chunkPosition++;
  if (cursor->chunkPosition < cursor->chunkCount) return SQLITE_OK;
  // A file that grew after its size was checked must not list more than the header says.
  if ((uint64_t)cursor->index >= cursor->numVectors) {
    cursor->fileEnd = true;
    return SQLITE_OK;
  }
  uint64_t vectorBytes;
  npy_vector_bytes(cursor->elementType, cursor->dimensions, &vectorBytes);
  size_t count = fread(cursor->chunk, vectorBytes, cursor->chunkCapacity, cursor->file);
  cursor->chunkCount = count;
  cursor->chunkPosition = 0;
  cursor->fileEnd = count == 0;
  return SQLITE_OK;
}

int jix_npy_eachEof(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_npy_each_cursor*)base;
  if (cursor->inputKind == NPY_INPUT_FILE) {
    return cursor->fileEnd || (uint64_t)cursor->index >= cursor->numVectors;
  }
  return cursor->numVectors == 0 || (uint64_t)cursor->index >= cursor->numVectors;
}

int jix_npy_eachColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = (jix_npy_each_cursor*)base;
  if (column != kColumnVector) return SQLITE_OK;
  if (cursor->elementType != JIX_ELEMENT_FLOAT32) {
    sqlite3_result_error(context, "jix_npy_each only supports float32 vectors", -1);
    return SQLITE_ERROR;
  }
  uint64_t vectorBytes = cursor->dimensions * 4;  // bounded by the data size check
  if (cursor->inputKind == NPY_INPUT_FILE) {
    sqlite3_result_blob64(context, cursor->chunk + cursor->chunkPosition * vectorBytes, vectorBytes,
                          SQLITE_TRANSIENT);
  } else {
    sqlite3_result_blob64(context, cursor->memoryData + (uint64_t)cursor->index * vectorBytes,
                          vectorBytes, SQLITE_TRANSIENT);
    sqlite3_result_subtype(context, JIX_ELEMENT_FLOAT32);
  }
  return SQLITE_OK;
}

int jix_npy_eachRowid(sqlite3_vtab_cursor* base, sqlite3_int64* outRowid) {
  *outRowid = ((jix_npy_each_cursor*)base)->index;
  return SQLITE_OK;
}

}  // namespace

bool npy_token_next(const char* start, const char* end, NpyToken* outToken) {
  const char* p = start;
  while (p < end && is_npy_space(*p)) p++;
  if (p >= end) return false;
  NpyToken token = {NPY_TOKEN_NUMBER, p, p + 1};
  switch (*p) {
    case '\'': {
      const char* q = p + 1;
      while (q < end && *q != '\'') q++;
      if (q >= end) return false;
      token.kind = NPY_TOKEN_STRING;
      token.end = q + 1;
      break;
    }
    case '(':
      token.kind = NPY_TOKEN_LPAREN;
      break;
    case ')':
      token.kind = NPY_TOKEN_RPAREN;
      break;
    case '{':
      token.kind = NPY_TOKEN_LBRACE;
      break;
    case '}':
      token.kind = NPY_TOKEN_RBRACE;
      break;
    case ':':
      token.kind = NPY_TOKEN_COLON;
      break;
    case ',':
      token.kind = NPY_TOKEN_COMMA;
      break;
    case 'F':
      if (end - p < 5 || memcmp(p, "False", 5) != 0) return false;
      token.kind = NPY_TOKEN_FALSE;
      token.end = p + 5;
      break;
    default:
      if (*p < '0' || *p > '9') return false;
      while (token.end < end && *token.end >= '0' && *token.end <= '9') token.end++;
      break;
  }
  *outToken = token;
  return true;
}

namespace {

// The header's tokens, read one after the other.
struct NpyHeaderReader {
  const char* p;
  const char* end;
  NpyToken token;

  // Each read starts where the previous token ended.
  bool next() {
    if (!npy_token_next(p, end, &token)) return false;
    p = token.end;
    return true;
  }
  bool next_is(NpyTokenKind kind) { return next() && token.kind == kind; }
};

int read_descr_value(sqlite3_vtab* vtab, NpyHeaderReader* r, int* outElementType) {
  if (!r->next_is(NPY_TOKEN_STRING)) {
    return header_error(vtab, "expected a string value after 'descr' key");
  }
  if (!token_is(r->token, "'<f4'")) {
    return header_error(vtab, "Only '<f4' values are supported in sqlite-jix numpy functions");
  }
  *outElementType = JIX_ELEMENT_FLOAT32;
  return SQLITE_OK;
}

// (n,) is one vector of n elements, (0,) none; (m, n) is m vectors of n.
int read_shape_value(sqlite3_vtab* vtab, NpyHeaderReader* r, uint64_t* outNumVectors,
                     uint64_t* outDimensions) {
  if (!r->next_is(NPY_TOKEN_LPAREN)) {
    return header_error(vtab, "Expected left parenthesis '(' after shape key");
  }
  if (!r->next_is(NPY_TOKEN_NUMBER)) {
    return header_error(vtab, "Expected an initial number in shape value");
  }
  uint64_t first = token_number(r->token);
  if (!r->next_is(NPY_TOKEN_COMMA)) {
    return header_error(vtab, "Expected comma after first shape value");
  }
  if (!r->next()) return header_error(vtab, "unexpected header EOF while parsing shape");
  if (r->token.kind == NPY_TOKEN_RPAREN) {
    *outNumVectors = first != 0 ? 1 : 0;
    *outDimensions = first;
    return SQLITE_OK;
  }
  if (r->token.kind != NPY_TOKEN_NUMBER) return header_error(vtab, "unknown type in shape value");
  *outNumVectors = first;
  *outDimensions = token_number(r->token);
  if (!r->next_is(NPY_TOKEN_RPAREN)) {
    return header_error(vtab, "expected right parenthesis after shape value");
  }
  return SQLITE_OK;
}

}  // namespace

int parse_npy_header(sqlite3_vtab* vtab, const char* header, size_t length, int* outElementType,
                     uint64_t* outNumVectors, uint64_t* outDimensions) {
  NpyHeaderReader r{header, header + length, {}};
  int elementType = 0;
  uint64_t numVectors = 0, dimensions = 0;

  if (!r.next_is(NPY_TOKEN_LBRACE)) {
    return header_error(vtab, "numpy header did not start with '{'");
  }
  for (;;) {
    if (!r.next()) return header_error(vtab, "expected key in numpy header");
    if (r.token.kind == NPY_TOKEN_RBRACE) break;
    if (r.token.kind != NPY_TOKEN_STRING) {
      return header_error(vtab, "expected a string as key in numpy header");
    }
    NpyToken key = r.token;
    if (!r.next_is(NPY_TOKEN_COLON)) {
      return header_error(vtab, "expected a ':' after key in numpy header");
    }
    int rc;
    if (token_is(key, "'descr'")) {
      rc = read_descr_value(vtab, &r, &elementType);
    } else if (token_is(key, "'fortran_order'")) {
      rc = r.next_is(NPY_TOKEN_FALSE)
               ? SQLITE_OK
               : header_error(vtab,
                              "Only fortran_order = False is supported in sqlite-jix numpy "
                              "functions");
    } else if (token_is(key, "'shape'")) {
      rc = read_shape_value(vtab, &r, &numVectors, &dimensions);
    } else {
      rc = header_error(vtab, "unknown key in numpy header");
    }
    if (rc != SQLITE_OK) return rc;
    if (!r.next_is(NPY_TOKEN_COMMA)) {
      return header_error(vtab, "unknown extra token after value");
    }
  }
  // Without an element type no vector has a size, and vectors of no elements would be listed
  // without end for a large count: both would list rows the array does not hold.
  if (elementType == 0) return header_error(vtab, "numpy header has no 'descr' key");
  if (numVectors > 0 && dimensions == 0) {
    return header_error(vtab, "numpy shape gives vectors of zero dimensions");
  }
  *outElementType = elementType;
  *outNumVectors = numVectors;
  *outDimensions = dimensions;
  return SQLITE_OK;
}

int parse_npy_buffer(sqlite3_vtab* vtab, const uint8_t* bytes, int64_t length,
                     const uint8_t** outData, uint64_t* outNumVectors, uint64_t* outDimensions,
                     int* outElementType) {
  if (length < kNpyPrefixBytes) {
    vtab_set_error(vtab, "numpy array too short");
    return SQLITE_ERROR;
  }
  if (memcmp(bytes, kNpyMagic, sizeof(kNpyMagic)) != 0) {
    vtab_set_error(vtab, "numpy array does not contain the 'magic' header");
    return SQLITE_ERROR;
  }
  uint16_t headerLength = header_length_of(bytes);
  int64_t dataSize = length - headerLength - kNpyPrefixBytes;
  if (dataSize < 0) {
    vtab_set_error(vtab, "numpy array header length is invalid");
    return SQLITE_ERROR;
  }
  int elementType;
  uint64_t numVectors, dimensions;
  int rc = parse_npy_header(vtab, (const char*)bytes + kNpyPrefixBytes, headerLength, &elementType,
                            &numVectors, &dimensions);
  if (rc != SQLITE_OK) return rc;
  rc = check_data_size(vtab, "numpy array", elementType, numVectors, dimensions, dataSize);
  if (rc != SQLITE_OK) return rc;
  *outData = bytes + kNpyPrefixBytes + headerLength;
  *outNumVectors = numVectors;
  *outDimensions = dimensions;
  *outElementType = elementType;
  return SQLITE_OK;
}

void jix_npy_file(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  const char* path = (const char*)sqlite3_value_text(argv[0]);
  if (!path && sqlite3_value_type(argv[0]) != SQLITE_NULL) {
    sqlite3_result_error_nomem(context);
    return;
  }
  sqlite3_int64 pathLength = sqlite3_value_bytes(argv[0]);
  auto* ref = (npy_file_ref*)sqlite3_malloc64(sizeof(npy_file_ref) + pathLength + 1);
  if (!ref) {
    sqlite3_result_error_nomem(context);
    return;
  }
  ref->path = nullptr;
  ref->pathLength = pathLength;
  if (path) {
    ref->path = (char*)(ref + 1);
    memcpy(ref->path, path, pathLength);
    ref->path[pathLength] = '\0';
  }
  sqlite3_result_pointer(context, ref, kNpyFilePointerType, sqlite3_free);
}

const sqlite3_module jix_npy_eachModule = {
    .iVersion = 0,
    .xCreate = nullptr,
    .xConnect = jix_npy_eachConnect,
    .xBestIndex = jix_npy_eachBestIndex,
    .xDisconnect = jix_npy_eachDisconnect,
    .xDestroy = nullptr,
    .xOpen = jix_npy_eachOpen,
    .xClose = jix_npy_eachClose,
    .xFilter = jix_npy_eachFilter,
    .xNext = jix_npy_eachNext,
    .xEof = jix_npy_eachEof,
    .xColumn = jix_npy_eachColumn,
    .xRowid = jix_npy_eachRowid,
    .xUpdate = nullptr,
    .xBegin = nullptr,
    .xSync = nullptr,
    .xCommit = nullptr,
    .xRollback = nullptr,
    .xFindFunction = nullptr,
    .xRename = nullptr,
    .xSavepoint = nullptr,
    .xRelease = nullptr,
    .xRollbackTo = nullptr,
    .xShadowName = nullptr,
#if SQLITE_VERSION_NUMBER >= 3044000  // slot added by newer SQLite headers
    .xIntegrity = nullptr,
#endif
};
