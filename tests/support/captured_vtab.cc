#include "support/captured_vtab.h"

#include <string>

#include "jix0/module.h"

namespace {

jix0_vtab* captured = nullptr;
std::string destroyMessage;

int CaptureCreate(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                  char** error) {
  int rc = jix0Module.xCreate(db, aux, argc, argv, out, error);
  if (rc == SQLITE_OK) captured = (jix0_vtab*)*out;
  return rc;
}

int CaptureConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                   char** error) {
  int rc = jix0Module.xConnect(db, aux, argc, argv, out, error);
  if (rc == SQLITE_OK) captured = (jix0_vtab*)*out;
  return rc;
}

int CaptureDestroy(sqlite3_vtab* vtab) {
  int rc = jix0Module.xDestroy(vtab);
  if (rc != SQLITE_OK) destroyMessage = vtab->zErrMsg ? vtab->zErrMsg : "";
  return rc;
}

sqlite3_module CapturingModule() {
  sqlite3_module module = jix0Module;
  module.xCreate = CaptureCreate;
  module.xConnect = CaptureConnect;
  module.xDestroy = CaptureDestroy;
  return module;
}

const sqlite3_module kCapturingModule = CapturingModule();

}  // namespace

void RegisterCapturingJix0(sqlite3* db) {
  sqlite3_create_module_v2(db, "jix0_capture", &kCapturingModule, nullptr, nullptr);
}

jix0_vtab* LastCapturedJix0() {
  return captured;
}

const char* LastDestroyMessage() {
  return destroyMessage.c_str();
}
