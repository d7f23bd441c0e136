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
	"crypto/tls"
	"crypto/x509"
	"errors"
	"flag"
	"fmt"
	"net"
	"os"
	"os/signal"
	"path/filepath"
	"strings"
	"syscall"
	"time"
	"unsafe"

	"github.com/canonical/go-dqlite/app"
	"github.com/canonical/go-dqlite/client"
)

// Set at build time to the library's install location.
var installedJix = "/usr/local/lib/jix.so"

const usage = `Usage: jix-dqlite-node --db HOST:PORT --dir DIR [--join HOST:PORT] [--jix PATH] [--verbose]
                       [--tls-cert FILE --tls-key FILE --tls-ca FILE]

Runs one dqlite node with jix registered in every connection. Start the first node without
--join; start each further node with --join naming a running member. SIGTERM or SIGINT hands
leadership over to another voter and stops the node.

Without the TLS flags the node only uses loopback addresses. With them, every connection to
and from the node is TLS with certificates checked both ways, so nodes may run on several
machines: every node's certificate is signed by the --tls-ca authority and has the same first
DNS name (the cluster's name).

`

func fail(format string, args ...interface{}) {
	fmt.Fprintf(os.Stderr, "jix-dqlite-node: "+format+"\n", args...)
	os.Exit(1)
}

// Checks an address of this node (--db) or of a member (--join). Without TLS the protocol
// lets anything that reaches the port read and write the database, so only loopback is allowed.
func checkAddress(option, address string, withTLS bool) {
	host, port, err := net.SplitHostPort(address)
	if err != nil || port == "" {
		fail("%s %q: expected HOST:PORT", option, address)
	}
	ip := net.ParseIP(host)
	// Other nodes dial the address this node gives: a wildcard would reach none of them.
	if host == "" || (ip != nil && ip.IsUnspecified()) {
		fail("%s %q: name the address other nodes reach it at, not a wildcard", option, address)
	}
	if !withTLS && host != "localhost" && (ip == nil || !ip.IsLoopback()) {
		fail("%s %q: addresses other than loopback need --tls-cert, --tls-key and --tls-ca", option, address)
	}
}

func readFlagFile(option, path string) []byte {
	data, err := os.ReadFile(path)
	if err != nil {
		var pathErr *os.PathError
		if errors.As(err, &pathErr) {
			err = pathErr.Err
		}
		fail("cannot read %s %s: %v", option, path, err)
	}
	return data
}

// The node's TLS configuration for listening and dialling, or nil without the TLS flags.
// Everything go-dqlite would only find at the first connection (or panic on) is checked here.
func loadTLS(certFile, keyFile, caFile string) (listen, dial *tls.Config) {
	if certFile == "" && keyFile == "" && caFile == "" {
		return nil, nil
	}
	var missing []string
	for _, f := range []struct{ option, value string }{
		{"--tls-cert", certFile}, {"--tls-key", keyFile}, {"--tls-ca", caFile}} {
		if f.value == "" {
			missing = append(missing, f.option)
		}
	}
	if len(missing) > 0 {
		fail("--tls-cert, --tls-key and --tls-ca go together: %s missing", strings.Join(missing, " and "))
	}
	certPEM := readFlagFile("--tls-cert", certFile)
	keyPEM := readFlagFile("--tls-key", keyFile)
	caPEM := readFlagFile("--tls-ca", caFile)
	cert, err := tls.X509KeyPair(certPEM, keyPEM)
	if err != nil {
		fail("--tls-cert %s and --tls-key %s: %v", certFile, keyFile, err)
	}
	pool := x509.NewCertPool()
	if !pool.AppendCertsFromPEM(caPEM) {
		fail("--tls-ca %s holds no PEM certificate", caFile)
	}
	leaf, err := x509.ParseCertificate(cert.Certificate[0])
	if err != nil {
		fail("--tls-cert %s: %v", certFile, err)
	}
	// Every node dials the others by the first DNS name of its own certificate.
	if len(leaf.DNSNames) == 0 {
		fail("--tls-cert %s has no DNS name: give every node's certificate the cluster's name "+
			"as its first subjectAltName DNS entry", certFile)
	}
	// The certificate serves both ends of every connection between nodes.
	for _, usage := range []x509.ExtKeyUsage{x509.ExtKeyUsageServerAuth, x509.ExtKeyUsageClientAuth} {
		if _, err := leaf.Verify(x509.VerifyOptions{Roots: pool, KeyUsages: []x509.ExtKeyUsage{usage}}); err != nil {
			fail("--tls-cert %s is not valid under --tls-ca %s: %v", certFile, caFile, err)
		}
	}
	listen, dial = app.SimpleTLSConfig(cert, pool)
	// Every node is dialled under the same server name, so a session ticket one node issued
	// would be offered to the others, whose handshakes then fail: full handshakes only.
	listen.SessionTicketsDisabled = true
	dial.ClientSessionCache = nil
	return listen, dial
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
	address := flags.String("db", "", "this node's address, HOST:PORT (loopback unless TLS is on)")
	dir := flags.String("dir", "", "this node's data directory (created if missing)")
	join := flags.String("join", "", "address of a running member to join; absent for the first node")
	jix := flags.String("jix", "", "path of jix.so (default: beside this program, else "+installedJix+")")
	verbose := flags.Bool("verbose", false, "log dqlite's debug messages too")
	tlsCert := flags.String("tls-cert", "", "this node's certificate, PEM (with --tls-key and --tls-ca)")
	tlsKey := flags.String("tls-key", "", "the private key of --tls-cert, PEM")
	tlsCA := flags.String("tls-ca", "", "the certificates of the authority that signs every node's certificate, PEM")
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
	tlsListen, tlsDial := loadTLS(*tlsCert, *tlsKey, *tlsCA)
	checkAddress("--db", *address, tlsListen != nil)
	if *join != "" {
		checkAddress("--join", *join, tlsListen != nil)
	}

	// Before the node starts: its engine opens connections as soon as it runs, and they must
	// all have jix. Earlier than main (a library constructor) would initialise SQLite before
	// go-dqlite sets its threading mode.
	library := jixPath(*jix)
	version := registerJix(library)

	// A port that cannot be bound fails here, before the node writes anything to --dir.
	if listener, err := net.Listen("tcp", *address); err != nil {
		fail("cannot listen on --db %q: %v", *address, err)
	} else {
		listener.Close()
	}
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
	if tlsListen != nil {
		options = append(options, app.WithTLS(tlsListen, tlsDial))
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
