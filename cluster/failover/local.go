package main

// The reference: a local SQLite file with jix loaded the ordinary way, running the same
// statements as the cluster.

// #cgo LDFLAGS: -lsqlite3
// #include <sqlite3.h>
// #include <stdlib.h>
//
// static int bind_text(sqlite3_stmt* stmt, int i, const char* text, int n) {
//   return sqlite3_bind_text(stmt, i, text, n, SQLITE_TRANSIENT);
// }
// static int bind_blob(sqlite3_stmt* stmt, int i, const void* bytes, int n) {
//   return sqlite3_bind_blob(stmt, i, n ? bytes : "", n, SQLITE_TRANSIENT);
// }
// static int load_jix(sqlite3* db, const char* path, char** outError) {
//   int rc = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, (int*)0);
//   if (rc != SQLITE_OK) return rc;
//   return sqlite3_load_extension(db, path, "sqlite3_jix_init", outError);
// }
import "C"

import (
	"errors"
	"fmt"
	"unsafe"
)

type localDB struct {
	db *C.sqlite3
}

func openLocal(path, jix string) (*localDB, error) {
	cPath := C.CString(path)
	defer C.free(unsafe.Pointer(cPath))
	var db *C.sqlite3
	flags := C.int(C.SQLITE_OPEN_READWRITE | C.SQLITE_OPEN_CREATE)
	if rc := C.sqlite3_open_v2(cPath, &db, flags, nil); rc != C.SQLITE_OK {
		C.sqlite3_close(db)
		return nil, fmt.Errorf("open %s: %s", path, C.GoString(C.sqlite3_errstr(rc)))
	}
	cJix := C.CString(jix)
	defer C.free(unsafe.Pointer(cJix))
	var message *C.char
	if rc := C.load_jix(db, cJix, &message); rc != C.SQLITE_OK {
		err := fmt.Errorf("load %s: %s", jix, C.GoString(message))
		C.sqlite3_free(unsafe.Pointer(message))
		C.sqlite3_close(db)
		return nil, err
	}
	// The same journal as the cluster's copy, so the files take the same path through SQLite.
	local := &localDB{db: db}
	if _, err := local.Query("PRAGMA journal_mode=WAL"); err != nil {
		local.Close()
		return nil, err
	}
	return local, nil
}

func (l *localDB) Close() { C.sqlite3_close(l.db) }

func (l *localDB) errorText() error { return errors.New(C.GoString(C.sqlite3_errmsg(l.db))) }

func (l *localDB) prepare(sql string, args []interface{}) (*C.sqlite3_stmt, error) {
	cSQL := C.CString(sql)
	defer C.free(unsafe.Pointer(cSQL))
	var stmt *C.sqlite3_stmt
	if C.sqlite3_prepare_v2(l.db, cSQL, -1, &stmt, nil) != C.SQLITE_OK {
		return nil, l.errorText()
	}
	for i, arg := range args {
		n := C.int(i + 1)
		var rc C.int
		switch v := arg.(type) {
		case nil:
			rc = C.sqlite3_bind_null(stmt, n)
		case int:
			rc = C.sqlite3_bind_int64(stmt, n, C.sqlite3_int64(v))
		case int64:
			rc = C.sqlite3_bind_int64(stmt, n, C.sqlite3_int64(v))
		case float64:
			rc = C.sqlite3_bind_double(stmt, n, C.double(v))
		case string:
			text := C.CString(v)
			rc = C.bind_text(stmt, n, text, C.int(len(v)))
			C.free(unsafe.Pointer(text))
		case []byte:
			bytes := C.CBytes(v)
			rc = C.bind_blob(stmt, n, bytes, C.int(len(v)))
			C.free(bytes)
		default:
			C.sqlite3_finalize(stmt)
			return nil, fmt.Errorf("cannot bind %T", arg)
		}
		if rc != C.SQLITE_OK {
			C.sqlite3_finalize(stmt)
			return nil, l.errorText()
		}
	}
	return stmt, nil
}

// Exec runs one statement to completion.
func (l *localDB) Exec(sql string, args ...interface{}) error {
	_, err := l.Query(sql, args...)
	return err
}

// Query returns every row, each value rendered by renderValue.
func (l *localDB) Query(sql string, args ...interface{}) ([][]string, error) {
	stmt, err := l.prepare(sql, args)
	if err != nil {
		return nil, err
	}
	defer C.sqlite3_finalize(stmt)
	var rows [][]string
	for {
		rc := C.sqlite3_step(stmt)
		if rc == C.SQLITE_DONE {
			return rows, nil
		}
		if rc != C.SQLITE_ROW {
			return nil, l.errorText()
		}
		n := int(C.sqlite3_column_count(stmt))
		row := make([]string, n)
		for i := 0; i < n; i++ {
			c := C.int(i)
			var v interface{}
			switch C.sqlite3_column_type(stmt, c) {
			case C.SQLITE_INTEGER:
				v = int64(C.sqlite3_column_int64(stmt, c))
			case C.SQLITE_FLOAT:
				v = float64(C.sqlite3_column_double(stmt, c))
			case C.SQLITE_TEXT:
				p := C.sqlite3_column_text(stmt, c)
				v = C.GoStringN((*C.char)(unsafe.Pointer(p)), C.sqlite3_column_bytes(stmt, c))
			case C.SQLITE_BLOB:
				p := C.sqlite3_column_blob(stmt, c)
				v = C.GoBytes(p, C.sqlite3_column_bytes(stmt, c))
			}
			row[i] = renderValue(v)
		}
		rows = append(rows, row)
	}
}
