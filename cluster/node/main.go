// jix-dqlite-node runs one dqlite node (Raft-replicated SQLite) with jix registered in every
// connection the node opens, so that jix0 tables, their shadow tables and vector functions
// replicate like any other data.
package main

// #cgo LDFLAGS: -ldl -lsqlite3
// #include <sqlite3.h>
// #include <stdlib.h>
// #include "register.h"
import "C"

import (
	"context"
	"flag"
	"fmt"
	"net"
	"os"
	"os/signal"
	"path/filepath"
	"syscall"
	"time"
	"unsafe"

	"github.com/canonical/go-dqlite/app"
	"github.com/canonical/go-dqlite/client"
)

// Set at build time to the library's install location.
var installedJix = "/usr/local/lib/jix.so"

const usage = `Usage: jix-dqlite-node --db HOST:PORT --dir DIR [--join HOST:PORT] [--jix PATH] [--verbose]

Runs one dqlite node with jix registered in every connection. Start the first node without
--join; start each further node with --join naming a running member. SIGTERM or SIGINT hands
leadership over to another voter and stops the node.

`

func fail(format string, args ...interface{}) {
	fmt.Fprintf(os.Stderr, "jix-dqlite-node: "+format+"\n", args...)
	os.Exit(1)
}

// The node speaks dqlite's protocol without TLS, so anything that reaches its port can read
// and write the database: it only listens on, and joins, loopback addresses.
func checkLoopback(option, address string) {
	host, port, err := net.SplitHostPort(address)
	if err != nil || port == "" {
		fail("%s %q: expected HOST:PORT", option, address)
	}
	ip := net.ParseIP(host)
	if host != "localhost" && (ip == nil || !ip.IsLoopback()) {
		fail("%s %q: only loopback addresses (127.0.0.0/8, ::1, localhost) are supported", option, address)
	}
}

// The library named by --jix, else the one built beside this program, else the installed one.
func jixPath(option string) string {
	if option != "" {
		return option
	}
	if self, err := os.Executable(); err == nil {
		beside := filepath.Join(filepath.Dir(self), "jix.so")
		if _, err := os.Stat(beside); err == nil {
			return beside
		}
	}
	return installedJix
}

func registerJix(path string) string {
	cPath := C.CString(path)
	defer C.free(unsafe.Pointer(cPath))
	var version, message *C.char
	rc := C.jix_register(cPath, &version, &message)
	defer C.sqlite3_free(unsafe.Pointer(version))
	defer C.sqlite3_free(unsafe.Pointer(message))
	if rc != 0 {
		if message == nil {
			fail("cannot register %s: out of memory", path)
		}
		fail("%s", C.GoString(message))
	}
	return C.GoString(version)
}

func main() {
	flags := flag.NewFlagSet("jix-dqlite-node", flag.ContinueOnError)
	flags.Usage = func() {
		fmt.Fprint(os.Stderr, usage)
		flags.PrintDefaults()
	}
	address := flags.String("db", "", "this node's address, HOST:PORT (loopback)")
	dir := flags.String("dir", "", "this node's data directory (created if missing)")
	join := flags.String("join", "", "address of a running member to join; absent for the first node")
	jix := flags.String("jix", "", "path of jix.so (default: beside this program, else "+installedJix+")")
	verbose := flags.Bool("verbose", false, "log dqlite's debug messages too")
	if err := flags.Parse(os.Args[1:]); err != nil {
		if err == flag.ErrHelp {
			os.Exit(0)
		}
		os.Exit(2)
	}
	if flags.NArg() != 0 {
		fail("unexpected argument %q", flags.Arg(0))
	}
	if *address == "" || *dir == "" {
		fail("--db and --dir are required (see --help)")
	}
	checkLoopback("--db", *address)
	if *join != "" {
		checkLoopback("--join", *join)
	}

	// Before the node starts: its engine opens connections as soon as it runs, and they must
	// all have jix. Earlier than main (a library constructor) would initialise SQLite before
	// go-dqlite sets its threading mode.
	library := jixPath(*jix)
	version := registerJix(library)

	if err := os.MkdirAll(*dir, 0o755); err != nil {
		fail("cannot create --dir: %v", err)
	}
	options := []app.Option{
		app.WithAddress(*address),
		app.WithLogFunc(func(level client.LogLevel, format string, args ...interface{}) {
			if level > client.LogDebug || *verbose {
				fmt.Fprintf(os.Stderr, "jix-dqlite-node %s: %s: %s\n", *address, level, fmt.Sprintf(format, args...))
			}
		}),
	}
	if *join != "" {
		options = append(options, app.WithCluster([]string{*join}))
	}
	node, err := app.New(*dir, options...)
	if err != nil {
		fail("cannot start node: %v", err)
	}

	signals := make(chan os.Signal, 1)
	signal.Notify(signals, syscall.SIGTERM, syscall.SIGINT)
	ready := make(chan error, 1)
	readyCtx, cancelReady := context.WithCancel(context.Background())
	go func() { ready <- node.Ready(readyCtx) }()
	select {
	case err := <-ready:
		if err != nil {
			fail("node did not get ready: %v", err)
		}
		fmt.Fprintf(os.Stderr, "jix-dqlite-node %s: ready (node %x, jix %s from %s)\n",
			*address, node.ID(), version, library)
	case <-signals:
		cancelReady()
		node.Close()
		os.Exit(0)
	}
	cancelReady()

	<-signals
	ctx, cancel := context.WithTimeout(context.Background(), 30*time.Second)
	defer cancel()
	if err := node.Handover(ctx); err != nil {
		fmt.Fprintf(os.Stderr, "jix-dqlite-node %s: handover: %v\n", *address, err)
	}
	if err := node.Close(); err != nil {
		fail("close: %v", err)
	}
	fmt.Fprintf(os.Stderr, "jix-dqlite-node %s: stopped\n", *address)
}
