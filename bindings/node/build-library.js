'use strict';
// npm's install step: builds the jix library with the project's CMake (the library target
// only) and copies it next to index.js, into the installed package's own folder, so
// require('jix').load(db) needs no path and the app does not depend on where the sources were.
// The sources are the package's jix-src/ (a tarball from `npm pack` carries them), else the
// checkout around bindings/node.
//
// JIX_LOADABLE_PATH set, or JIX_SKIP_BUILD=1, skips the build (a library built elsewhere).

const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const packageDir = __dirname;
const packedSources = path.join(packageDir, 'jix-src');
const sourceDir = fs.existsSync(path.join(packedSources, 'CMakeLists.txt'))
  ? packedSources
  : path.resolve(packageDir, '..', '..');
const names = ['jix.so', 'jix.dylib', 'jix.dll'];

function run(command, args) {
  const result = spawnSync(command, args, { stdio: 'inherit' });
  if (result.error) {
    console.error(`jix: could not run ${command}: ${result.error.message} (CMake and a C++ ` +
                  'compiler are needed to build the library)');
    process.exit(1);
  }
  if (result.status !== 0) process.exit(result.status || 1);
}

function main() {
  if (process.env.JIX_LOADABLE_PATH || process.env.JIX_SKIP_BUILD === '1') return;
  if (!fs.existsSync(path.join(sourceDir, 'CMakeLists.txt'))) {
    console.error(`jix: the sources are not at ${sourceDir}: install the package from a ` +
                  'tarball made by `npm pack` in a checkout\'s bindings/node folder');
    process.exit(1);
  }
  const cmake = process.env.CMAKE || 'cmake';
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'jix-build-'));
  try {
    const extra = (process.env.JIX_CMAKE_ARGS || '').split(/\s+/).filter(Boolean);
    console.error(`jix: building the library from ${sourceDir} with CMake (a minute or two)`);
    run(cmake, ['-S', sourceDir, '-B', work, '-DCMAKE_BUILD_TYPE=Release',
                '-DJIX_BUILD_TESTS=OFF', ...extra]);
    run(cmake, ['--build', work, '--target', 'jix', '-j', String(os.cpus().length || 1)]);
    const built = names.find((name) => fs.existsSync(path.join(work, name)));
    if (!built) {
      console.error(`jix: the CMake build finished without a jix library in ${work}`);
      process.exit(1);
    }
    // Copy, then rename over any older library: a process that has it loaded keeps its copy.
    const target = path.join(packageDir, built);
    fs.copyFileSync(path.join(work, built), target + '.tmp');
    fs.renameSync(target + '.tmp', target);
    console.log(`jix: built ${target}`);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main();
