// jix-dqlite-failover starts three jix-dqlite-node processes on loopback ports, writes jix0
// tables through the cluster and through a local SQLite file with jix loaded, and checks that
// every answer is the same: on the first leader, on the leader elected after a SIGKILL, and on
// each node in turn once the killed one has restarted and caught up. A second, shorter run
// starts three nodes with TLS (certificates made here) and checks that they answer alike and
// refuse clients without a certificate of the cluster's authority.
//
//	jix-dqlite-failover --node build/jix-dqlite-node --jix build/jix.so
//
// Prints one line per check and a closing "N passed, N failed"; exits 1 when any failed.
package main

import (
	"context"
	"crypto/tls"
	"crypto/x509"
	"database/sql"
	"encoding/binary"
	"encoding/hex"
	"flag"
	"fmt"
	"math"
	"math/rand"
	"net"
	"os"
	"os/exec"
	"path/filepath"
	"strconv"
	"strings"
	"sync"
	"syscall"
	"time"

	"github.com/canonical/go-dqlite/client"
	"github.com/canonical/go-dqlite/driver"
)

// The whole run, startup to shutdown, stays well under two minutes; past this it is stopped.
const runLimit = 110 * time.Second

// Every wait for the cluster (a node ready, a leader elected, a transfer) is bounded by this.
const waitLimit = 30 * time.Second

type node struct {
	address string
	dir     string
	log     string
	cmd     *exec.Cmd
	exited  chan error // receives Wait's result once the process ends
	joinArg []string
	tlsArgs []string
}

type run struct {
	nodeProgram string
	jix         string
	nodes       []*node // the plain cluster's three, then the TLS cluster's three
	store       client.NodeStore
	clientOpts  []client.Option // how the run's clients dial the current cluster
	db          *sql.DB
	local       *localDB
	scratch     string // data, logs and the local file; removed after a clean pass
	keep        bool   // keep the scratch folder even then
	passed      int
	failed      int
	finishing   sync.Mutex // the watchdog and main may both finish; the first one exits
}

func (r *run) check(name string, err error) {
	if err == nil {
		r.passed++
		fmt.Printf("ok    %s\n", name)
		return
	}
	r.failed++
	fmt.Printf("FAIL  %s: %v\n", name, err)
}

// A setup step the rest depends on: on failure there is nothing left to check.
func (r *run) must(name string, err error) {
	r.check(name, err)
	if err != nil {
		r.finish()
	}
}

func (r *run) finish() {
	r.finishing.Lock()
	for i, n := range r.nodes {
		if n != nil && n.cmd != nil && r.failed > 0 {
			if text, err := os.ReadFile(n.log); err == nil {
				lines := strings.Split(strings.TrimRight(string(text), "\n"), "\n")
				if len(lines) > 15 {
					lines = lines[len(lines)-15:]
				}
				fmt.Printf("--- last lines of node %d's log (%s)\n%s\n", i+1, n.log, strings.Join(lines, "\n"))
			}
		}
	}
	// The local file stays open: the watchdog may finish while main is inside a call on it,
	// and exiting closes it anyway.
	r.stopAll()
	if r.scratch != "" {
		if r.failed == 0 && !r.keep {
			os.RemoveAll(r.scratch)
		} else {
			fmt.Printf("data and logs kept in %s\n", r.scratch)
		}
	}
	fmt.Printf("failover: %d passed, %d failed\n", r.passed, r.failed)
	if r.failed > 0 {
		os.Exit(1)
	}
	os.Exit(0)
}

// Kills, by PID, every node process still running.
func (r *run) stopAll() {
	for _, n := range r.nodes {
		if n != nil && n.cmd != nil && n.cmd.Process != nil && !n.stopped() {
			n.cmd.Process.Kill()
			n.exited <- <-n.exited // waits for the end, keeps it for stopped()
		}
	}
}

func (n *node) stopped() bool {
	select {
	case err := <-n.exited:
		n.exited <- err // leave it for the next reader
		return true
	default:
		return false
	}
}

func freePorts(count int) ([]string, error) {
	var listeners []net.Listener
	defer func() {
		for _, l := range listeners {
			l.Close()
		}
	}()
	var addresses []string
	for i := 0; i < count; i++ {
		l, err := net.Listen("tcp", "127.0.0.1:0")
		if err != nil {
			return nil, err
		}
		listeners = append(listeners, l)
		addresses = append(addresses, l.Addr().String())
	}
	return addresses, nil
}

func (n *node) readyCount() int {
	text, _ := os.ReadFile(n.log)
	return strings.Count(string(text), ": ready (")
}

// Starts the node's process and waits until it reports ready.
func (r *run) start(n *node) error {
	before := n.readyCount()
	logFile, err := os.OpenFile(n.log, os.O_CREATE|os.O_WRONLY|os.O_APPEND, 0o644)
	if err != nil {
		return err
	}
	defer logFile.Close()
	args := append(append([]string{"--db", n.address, "--dir", n.dir, "--jix", r.jix}, n.joinArg...), n.tlsArgs...)
	n.cmd = exec.Command(r.nodeProgram, args...)
	n.cmd.Stdout = logFile
	n.cmd.Stderr = logFile
	// Should this program die without stopping them, the nodes go with it.
	n.cmd.SysProcAttr = &syscall.SysProcAttr{Pdeathsig: syscall.SIGKILL}
	if err := n.cmd.Start(); err != nil {
		return err
	}
	n.exited = make(chan error, 1)
	go func(cmd *exec.Cmd, exited chan error) { exited <- cmd.Wait() }(n.cmd, n.exited)
	deadline := time.Now().Add(waitLimit)
	for n.readyCount() == before {
		if n.stopped() {
			return fmt.Errorf("node %s exited before it was ready", n.address)
		}
		if time.Now().After(deadline) {
			return fmt.Errorf("node %s not ready after %v", n.address, waitLimit)
		}
		time.Sleep(50 * time.Millisecond)
	}
	return nil
}

func (r *run) leader(ctx context.Context) (*client.Client, error) {
	return client.FindLeader(ctx, r.store, r.clientOpts...)
}

// Polls until cond holds for the cluster as the current leader reports it.
func (r *run) waitCluster(what string, cond func(leader *client.NodeInfo, nodes []client.NodeInfo) bool) error {
	deadline := time.Now().Add(waitLimit)
	var last error
	for time.Now().Before(deadline) {
		ctx, cancel := context.WithTimeout(context.Background(), 2*time.Second)
		cli, err := r.leader(ctx)
		if err == nil {
			var info *client.NodeInfo
			var nodes []client.NodeInfo
			if info, err = cli.Leader(ctx); err == nil {
				if nodes, err = cli.Cluster(ctx); err == nil && info != nil && cond(info, nodes) {
					cli.Close()
					cancel()
					return nil
				}
			}
			cli.Close()
		}
		cancel()
		last = err
		time.Sleep(100 * time.Millisecond)
	}
	return fmt.Errorf("%s: not reached after %v (last error: %v)", what, waitLimit, last)
}

func (r *run) waitVoters() error {
	return r.waitCluster("three voters", func(_ *client.NodeInfo, nodes []client.NodeInfo) bool {
		voters := 0
		for _, info := range nodes {
			if info.Role == client.Voter {
				voters++
			}
		}
		return voters == 3
	})
}

// Which of the nodes leads.
func (r *run) leaderIndex() (int, error) {
	ctx, cancel := context.WithTimeout(context.Background(), waitLimit)
	defer cancel()
	cli, err := r.leader(ctx)
	if err != nil {
		return -1, err
	}
	defer cli.Close()
	info, err := cli.Leader(ctx)
	if err != nil {
		return -1, err
	}
	for i, n := range r.nodes {
		if n.address == info.Address {
			return i, nil
		}
	}
	return -1, fmt.Errorf("leader %s is not one of the nodes", info.Address)
}

// Hands leadership to node i, retrying until the node has caught up and accepted it.
func (r *run) transferTo(i int) error {
	target := r.nodes[i].address
	return r.waitCluster("leadership on "+target, func(leader *client.NodeInfo, nodes []client.NodeInfo) bool {
		if leader.Address == target {
			return true
		}
		for _, info := range nodes {
			if info.Address == target {
				ctx, cancel := context.WithTimeout(context.Background(), 5*time.Second)
				defer cancel()
				if cli, err := r.leader(ctx); err == nil {
					cli.Transfer(ctx, info.ID)
					cli.Close()
				}
			}
		}
		return false
	})
}

// Values as text that tells types apart and keeps every bit: the two sides must match exactly.
func renderValue(v interface{}) string {
	switch v := v.(type) {
	case nil:
		return "null"
	case int64:
		return "i:" + strconv.FormatInt(v, 10)
	case bool: // the driver turns columns declared BOOLEAN into bools
		if v {
			return "i:1"
		}
		return "i:0"
	case float64:
		return "f:" + strconv.FormatFloat(v, 'g', -1, 64)
	case string:
		return "t:" + strconv.Quote(v)
	case []byte:
		return "b:" + hex.EncodeToString(v)
	default:
		return fmt.Sprintf("?%T:%v", v, v)
	}
}

func (r *run) queryCluster(query string, args ...interface{}) ([][]string, error) {
	ctx, cancel := context.WithTimeout(context.Background(), waitLimit)
	defer cancel()
	rows, err := r.db.QueryContext(ctx, query, args...)
	if err != nil {
		return nil, err
	}
	defer rows.Close()
	columns, err := rows.Columns()
	if err != nil {
		return nil, err
	}
	var out [][]string
	for rows.Next() {
		values := make([]interface{}, len(columns))
		pointers := make([]interface{}, len(columns))
		for i := range values {
			pointers[i] = &values[i]
		}
		if err := rows.Scan(pointers...); err != nil {
			return nil, err
		}
		row := make([]string, len(values))
		for i, v := range values {
			row[i] = renderValue(v)
		}
		out = append(out, row)
	}
	return out, rows.Err()
}

func sameRows(cluster, local [][]string) error {
	if len(cluster) != len(local) {
		return fmt.Errorf("%d rows from the cluster, %d from the local file", len(cluster), len(local))
	}
	for i := range local {
		c, l := strings.Join(cluster[i], "|"), strings.Join(local[i], "|")
		if c != l {
			return fmt.Errorf("row %d differs:\n      cluster: %s\n      local:   %s", i, c, l)
		}
	}
	return nil
}

type query struct {
	name string
	sql  string
	args []interface{}
	rows int // the least number of rows the local file must give, so that no check is vacuous
}

func float32Blob(values []float32) []byte {
	out := make([]byte, 4*len(values))
	for i, v := range values {
		binary.LittleEndian.PutUint32(out[4*i:], math.Float32bits(v))
	}
	return out
}

var queries = []query{
	{"knn", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 10", []interface{}{queryVector}, 10},
	{"knn with a float32 BLOB query", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 5",
		[]interface{}{float32Blob([]float32{0.5, -0.25, 0, 1, 0.75, -1, 0.125, 0.5})}, 5},
	{"knn, every column", "SELECT id, tenant, genre, year, score, title, distance, jix_to_json(embedding) " +
		"FROM docs WHERE embedding MATCH ? AND k = 7", []interface{}{queryVector}, 7},
	{"knn in one partition", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 6 AND tenant = 2",
		[]interface{}{queryVector}, 6},
	{"knn with partition and metadata filters", "SELECT id, distance FROM docs WHERE embedding MATCH ? " +
		"AND k = 20 AND tenant >= 2 AND genre = 'jazz' AND year >= 1960", []interface{}{queryVector}, 1},
	{"knn with metadata ranges", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 20 " +
		"AND year >= 1970 AND year < 2010 AND score > 0.0", []interface{}{queryVector}, 1},
	{"knn with a metadata IN list", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 20 " +
		"AND genre IN ('blues', 'progressive-electronic')", []interface{}{queryVector}, 1},
	{"knn with an id IN list", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 20 " +
		"AND id IN ('doc-01', 'doc-07', 'doc-14', 'doc-31', 'no-such-doc')", []interface{}{queryVector}, 2},
	{"knn with a distance bound", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 100 " +
		"AND distance < 0.6", []interface{}{queryVector}, 1},
	{"knn with k beyond the row count", "SELECT id, distance FROM docs WHERE embedding MATCH ? AND k = 1000",
		[]interface{}{queryVector}, 20},
	{"knn, l2 with a boolean filter", "SELECT rowid, distance, body FROM notes WHERE embedding MATCH ? " +
		"AND k = 5 AND flag = 1", []interface{}{"[0.5, 0.5, -0.5, 1]"}, 5},
	{"knn, hamming on bits", "SELECT rowid, distance FROM notes WHERE codes MATCH jix_bit(?) AND k = 6",
		[]interface{}{[]byte{0x5a, 0xc3}}, 6},
	{"full scan", "SELECT * FROM docs", nil, 20},
	{"full scan with a filter", "SELECT id, title FROM docs WHERE year < 1990", nil, 1},
	{"full scan of a rowid table", "SELECT rowid, * FROM notes", nil, 15},
	{"point lookup by TEXT id", "SELECT * FROM docs WHERE id = 'doc-10'", nil, 1},
	{"point lookup by rowid", "SELECT rowid, jix_to_json(embedding), codes, flag, body FROM notes WHERE rowid = 7", nil, 1},
	{"aggregates", "SELECT count(*), sum(year), max(title) FROM docs", nil, 1},
	{"vector functions on stored rows", "SELECT id, jix_distance_cosine(embedding, ?), " +
		"jix_to_json(jix_quantize_binary(embedding)) FROM docs WHERE id = 'doc-13'", []interface{}{queryVector}, 1},
	{"integrity_check", "PRAGMA integrity_check", nil, 1},
	{"schema", "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name", nil, 10},
}

const queryVector = "[0.5, -0.25, 0, 1, 0.75, -1, 0.125, 0.5]"

// Compares every query, then every shadow table byte for byte.
func (r *run) compareAll(stage string) {
	for _, q := range queries {
		local, err := r.local.Query(q.sql, q.args...)
		if err == nil && len(local) < q.rows {
			err = fmt.Errorf("the local file gave %d rows, expected at least %d", len(local), q.rows)
		}
		if err == nil {
			var cluster [][]string
			if cluster, err = r.queryCluster(q.sql, q.args...); err == nil {
				err = sameRows(cluster, local)
			}
		}
		r.check(stage+": "+q.name, err)
	}
	tables, err := r.local.Query("SELECT name FROM sqlite_master WHERE type = 'table' " +
		"AND sql NOT LIKE 'CREATE VIRTUAL TABLE%' AND name NOT LIKE 'sqlite_%' ORDER BY name")
	if err == nil && len(tables) < 10 {
		err = fmt.Errorf("only %d shadow tables", len(tables))
	}
	var differ []string
	for _, t := range tables {
		name, _ := strconv.Unquote(strings.TrimPrefix(t[0], "t:"))
		sql := fmt.Sprintf("SELECT * FROM \"%s\"", name)
		local, lerr := r.local.Query(sql)
		cluster, cerr := r.queryCluster(sql)
		if lerr != nil || cerr != nil {
			err = fmt.Errorf("%s: local %v, cluster %v", name, lerr, cerr)
			break
		}
		if diff := sameRows(cluster, local); diff != nil {
			differ = append(differ, fmt.Sprintf("%s: %v", name, diff))
		}
	}
	if err == nil && len(differ) > 0 {
		err = fmt.Errorf("%s", strings.Join(differ, "\n      "))
	}
	r.check(fmt.Sprintf("%s: every shadow table, row for row (%d tables)", stage, len(tables)), err)
}

// One write statement and its expected outcome: no error, or the local error text exactly.
type write struct {
	sql     string
	args    []interface{}
	refusal string
}

// Runs the statements in one transaction on both sides, then commits or rolls back.
func (r *run) transaction(name string, writes []write, commit bool) {
	ctx, cancel := context.WithTimeout(context.Background(), waitLimit)
	defer cancel()
	tx, err := r.db.BeginTx(ctx, nil)
	if err != nil {
		r.check(name+": begin", err)
		return
	}
	if err := r.local.Exec("BEGIN"); err != nil {
		tx.Rollback()
		r.check(name+": begin (local)", err)
		return
	}
	var problems []string
	for i, w := range writes {
		lerr := r.local.Exec(w.sql, w.args...)
		_, cerr := tx.ExecContext(ctx, w.sql, w.args...)
		switch {
		case w.refusal == "" && (lerr != nil || cerr != nil):
			problems = append(problems, fmt.Sprintf("statement %d: local %v, cluster %v", i+1, lerr, cerr))
		case w.refusal != "" && (lerr == nil || lerr.Error() != w.refusal):
			problems = append(problems, fmt.Sprintf("statement %d: local error %v, expected %q", i+1, lerr, w.refusal))
		case w.refusal != "" && (cerr == nil || cerr.Error() != w.refusal):
			problems = append(problems, fmt.Sprintf("statement %d: cluster error %v, expected %q", i+1, cerr, w.refusal))
		}
	}
	end := "COMMIT"
	endCluster := tx.Commit
	if !commit {
		end = "ROLLBACK"
		endCluster = tx.Rollback
	}
	if err := r.local.Exec(end); err != nil {
		problems = append(problems, "local "+end+": "+err.Error())
	}
	if err := endCluster(); err != nil {
		problems = append(problems, "cluster "+end+": "+err.Error())
	}
	if len(problems) > 0 {
		err = fmt.Errorf("%s", strings.Join(problems, "; "))
	}
	r.check(name, err)
}

var genres = []string{"jazz", "blues", "classical", "progressive-electronic"}

func vectorJSON(rng *rand.Rand, dims int) string {
	parts := make([]string, dims)
	for i := range parts {
		// Multiples of 1/16: exact in float32, the same text on both sides.
		parts[i] = strconv.FormatFloat(float64(rng.Intn(33)-16)/16, 'g', -1, 32)
	}
	return "[" + strings.Join(parts, ", ") + "]"
}

func docInsert(rng *rand.Rand, i int) write {
	return write{sql: "INSERT INTO docs(id, tenant, embedding, genre, year, score, title) VALUES (?, ?, ?, ?, ?, ?, ?)",
		args: []interface{}{fmt.Sprintf("doc-%02d", i), int64(i%3 + 1), vectorJSON(rng, 8), genres[rng.Intn(len(genres))],
			int64(1950 + rng.Intn(70)), float64(rng.Intn(17)-8) / 8, fmt.Sprintf("Title %d", i)}}
}

func docInserts(rng *rand.Rand, from, to int) []write {
	var out []write
	for i := from; i < to; i++ {
		out = append(out, docInsert(rng, i))
	}
	return out
}

func (r *run) writeAll(rng *rand.Rand) {
	r.transaction("create jix0 tables (TEXT ids, partition key, metadata, cosine; rowids, bits)", []write{
		{sql: "CREATE VIRTUAL TABLE docs USING jix0(id text primary key, tenant integer partition key, " +
			"embedding float[8] distance_metric=cosine, genre text, year integer, score float, +title text, chunk_size=8)"},
		{sql: "CREATE VIRTUAL TABLE notes USING jix0(embedding float[4], codes bit[16], flag boolean, " +
			"+body text, chunk_size=8)"},
	}, true)
	r.transaction("load the first rows in one transaction", docInserts(rng, 0, 18), true)

	second := docInserts(rng, 18, 36)
	refused := []write{
		{sql: "INSERT INTO docs(id, tenant, embedding, genre, year, score) VALUES ('doc-bad', 1, '[1, 2, 3]', 'jazz', 1999, 0.5)",
			refusal: "Dimension mismatch for inserted vector for the \"embedding\" column. Expected 8 dimensions but received 3."},
		{sql: "INSERT INTO docs(id, tenant, embedding, genre, year, score) VALUES ('doc-03', 1, ?, 'jazz', 1999, 0.5)",
			args: []interface{}{queryVector}, refusal: "UNIQUE constraint failed on docs primary key"},
	}
	writes := append(append(append([]write{}, second[:9]...), refused...), second[9:]...)
	r.transaction("load more rows, refused statements inside the transaction", writes, true)

	var notes []write
	for i := 1; i <= 20; i++ {
		notes = append(notes, write{sql: "INSERT INTO notes(rowid, embedding, codes, flag, body) VALUES (?, ?, jix_bit(?), ?, ?)",
			args: []interface{}{int64(i), vectorJSON(rng, 4), []byte{byte(rng.Intn(256)), byte(rng.Intn(256))},
				int64(rng.Intn(2)), fmt.Sprintf("note %d", i)}})
	}
	r.transaction("load a rowid table", notes, true)

	r.transaction("a transaction rolled back", []write{
		{sql: "DELETE FROM docs WHERE tenant = 1"},
		{sql: "UPDATE notes SET body = 'rolled back' WHERE rowid = 4"},
		docInsert(rng, 90),
	}, false)

	// Every row of tenant 1's first chunk goes, so the chunk itself is removed.
	r.transaction("updates and deletes", []write{
		{sql: "UPDATE docs SET genre = 'progressive-electronic', year = 2021, title = 'Retitled' WHERE id = 'doc-05'"},
		{sql: "UPDATE docs SET embedding = ? WHERE id = 'doc-06'", args: []interface{}{queryVector}},
		{sql: "DELETE FROM docs WHERE id IN ('doc-00', 'doc-03', 'doc-06', 'doc-09', 'doc-12', 'doc-15', 'doc-18', 'doc-21')"},
		{sql: "DELETE FROM notes WHERE rowid = 3"},
		{sql: "UPDATE notes SET body = NULL, flag = 1 WHERE rowid = 8"},
	}, true)
	r.transaction("a refused statement on its own", []write{
		{sql: "INSERT INTO notes(rowid, embedding, codes, flag) VALUES (30, '[1, 2, 3, 4]', jix_bit(X'0000'), NULL)",
			refusal: "Expected 0 or 1 for BOOLEAN metadata column flag"},
	}, true)
}

func (r *run) nodeChecks() {
	// Switching the journal out of WAL kills a dqlite 1.11 node; the node refuses it instead.
	_, err := r.db.Exec("PRAGMA journal_mode = delete")
	if err == nil || err.Error() != "not authorized" {
		err = fmt.Errorf("expected \"not authorized\", got %v", err)
	} else {
		_, err = r.queryCluster("SELECT 1")
	}
	r.check("journal mode changes are refused and the node lives on", err)
	// Only the main entry point is registered; clients cannot load anything themselves.
	_, err = r.queryCluster("SELECT jix_npy_file('/etc/hostname')")
	if err == nil || err.Error() != "no such function: jix_npy_file" {
		err = fmt.Errorf("expected \"no such function: jix_npy_file\", got %v", err)
	} else {
		err = nil
	}
	r.check("only the main entry point is registered", err)
	_, err = r.queryCluster("SELECT load_extension('jix')")
	if err == nil {
		err = fmt.Errorf("load_extension succeeded")
	} else {
		err = nil
	}
	r.check("clients cannot load extensions", err)
	// dqlite 1.11 reports an error raised while a query runs with the query's column count as
	// its code and the first column's name as its text; only that it fails can be checked.
	const badQuery = "SELECT id, distance FROM docs WHERE embedding MATCH '[1, 2, 3]' AND k = 3"
	want := "Dimension mismatch for query vector for the \"embedding\" column. Expected 8 dimensions but received 3."
	if _, err = r.local.Query(badQuery); err == nil || err.Error() != want {
		err = fmt.Errorf("local error %v, expected %q", err, want)
	} else if _, err = r.queryCluster(badQuery); err == nil {
		err = fmt.Errorf("the cluster answered")
	} else {
		err = nil
	}
	r.check("a KNN refused while it runs fails on the cluster too", err)
}

// The node's refusals of bad arguments, each with its exact message; no cluster is started.
func (r *run) argumentChecks(scratch string, certs *certSet) {
	dir := filepath.Join(scratch, "unused")
	noEntryPoint, _ := filepath.Glob("/usr/lib/*/libsqlite3.so.0")
	node1 := certs.nodes[0]
	tlsArgs := []string{"--tls-cert", node1[0], "--tls-key", node1[1], "--tls-ca", certs.caFile}
	cases := []struct {
		args    []string
		message string
	}{
		{[]string{"--db", "192.0.2.1:9001", "--dir", dir},
			`jix-dqlite-node: --db "192.0.2.1:9001": addresses other than loopback need --tls-cert, --tls-key and --tls-ca`},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--join", "example.org:9001"},
			`jix-dqlite-node: --join "example.org:9001": addresses other than loopback need --tls-cert, --tls-key and --tls-ca`},
		{[]string{"--db", "0.0.0.0:9001", "--dir", dir},
			`jix-dqlite-node: --db "0.0.0.0:9001": name the address other nodes reach it at, not a wildcard`},
		{append([]string{"--db", "127.0.0.1:9001", "--dir", dir, "--join", "[::]:9001"}, tlsArgs...),
			`jix-dqlite-node: --join "[::]:9001": name the address other nodes reach it at, not a wildcard`},
		// With TLS another address passes the check; binding it (a documentation address no
		// machine has) then fails before anything is written. No packet leaves the machine.
		{append([]string{"--db", "192.0.2.1:9001", "--dir", dir}, tlsArgs...),
			`jix-dqlite-node: cannot listen on --db "192.0.2.1:9001": listen tcp 192.0.2.1:9001: bind: cannot assign requested address`},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", node1[0]},
			"jix-dqlite-node: --tls-cert, --tls-key and --tls-ca go together: --tls-key and --tls-ca missing"},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", node1[0], "--tls-key", node1[1]},
			"jix-dqlite-node: --tls-cert, --tls-key and --tls-ca go together: --tls-ca missing"},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", "/nonexistent/node.crt", "--tls-key", node1[1], "--tls-ca", certs.caFile},
			"jix-dqlite-node: cannot read --tls-cert /nonexistent/node.crt: no such file or directory"},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", node1[0], "--tls-key", certs.nodes[1][1], "--tls-ca", certs.caFile},
			fmt.Sprintf("jix-dqlite-node: --tls-cert %s and --tls-key %s: tls: private key does not match public key", node1[0], certs.nodes[1][1])},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", node1[0], "--tls-key", node1[1], "--tls-ca", node1[1]},
			fmt.Sprintf("jix-dqlite-node: --tls-ca %s holds no PEM certificate", node1[1])},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", certs.noDNS[0], "--tls-key", certs.noDNS[1], "--tls-ca", certs.caFile},
			fmt.Sprintf("jix-dqlite-node: --tls-cert %s has no DNS name: give every node's certificate the cluster's name "+
				"as its first subjectAltName DNS entry", certs.noDNS[0])},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--tls-cert", node1[0], "--tls-key", node1[1], "--tls-ca", certs.strangerCA},
			fmt.Sprintf("jix-dqlite-node: --tls-cert %s is not valid under --tls-ca %s: x509: certificate signed by unknown authority", node1[0], certs.strangerCA)},
		{[]string{"--db", "9001", "--dir", dir}, `jix-dqlite-node: --db "9001": expected HOST:PORT`},
		{[]string{"--db", "127.0.0.1:9001"}, "jix-dqlite-node: --db and --dir are required (see --help)"},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "extra"}, `jix-dqlite-node: unexpected argument "extra"`},
		{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--jix", "/nonexistent/jix.so"},
			"jix-dqlite-node: cannot load /nonexistent/jix.so: /nonexistent/jix.so: cannot open shared object file: No such file or directory"},
	}
	if len(noEntryPoint) > 0 {
		cases = append(cases, struct {
			args    []string
			message string
		}{[]string{"--db", "127.0.0.1:9001", "--dir", dir, "--jix", noEntryPoint[0]},
			"jix-dqlite-node: " + noEntryPoint[0] + " has no entry point sqlite3_jix_init"})
	}
	for _, c := range cases {
		out, err := exec.Command(r.nodeProgram, c.args...).CombinedOutput()
		got := strings.TrimRight(string(out), "\n")
		if exit, ok := err.(*exec.ExitError); !ok || exit.ExitCode() != 1 {
			err = fmt.Errorf("expected exit status 1, got %v", err)
		} else if got != c.message {
			err = fmt.Errorf("got %q, expected %q", got, c.message)
		} else if _, statErr := os.Stat(dir); statErr == nil {
			err = fmt.Errorf("created %s", dir)
		} else {
			err = nil
		}
		r.check("node refuses "+strings.Join(c.args, " "), err)
	}
}

func main() {
	nodeProgram := flag.String("node", "build/jix-dqlite-node", "the node program")
	jix := flag.String("jix", "build/jix.so", "the jix library")
	keep := flag.Bool("keep", false, "keep the scratch folder (data and logs)")
	flag.Parse()
	start := time.Now()
	r := &run{keep: *keep}
	var err error
	if r.nodeProgram, err = filepath.Abs(*nodeProgram); err == nil {
		r.jix, err = filepath.Abs(*jix)
	}
	if err != nil {
		fmt.Println(err)
		os.Exit(1)
	}
	scratch, err := os.MkdirTemp("", "jix-dqlite-failover.")
	if err != nil {
		fmt.Println(err)
		os.Exit(1)
	}
	r.scratch = scratch
	time.AfterFunc(runLimit, func() {
		r.check("whole run within "+runLimit.String(), fmt.Errorf("still running; stopped"))
		r.finish()
	})

	certs, err := makeCerts(filepath.Join(scratch, "tls"))
	r.must("make a cluster authority and certificates", err)
	r.argumentChecks(scratch, certs)
	addresses, err := freePorts(3)
	r.must("pick three free loopback ports", err)
	r.nodes = make([]*node, 3)
	for i := range r.nodes {
		r.nodes[i] = &node{address: addresses[i], dir: filepath.Join(scratch, fmt.Sprintf("node%d", i+1)),
			log: filepath.Join(scratch, fmt.Sprintf("node%d.log", i+1))}
		if i > 0 {
			r.nodes[i].joinArg = []string{"--join", addresses[0]}
		}
	}
	r.store = client.NewInmemNodeStore()
	var infos []client.NodeInfo
	for _, a := range addresses {
		infos = append(infos, client.NodeInfo{Address: a})
	}
	r.store.Set(context.Background(), infos)

	for i, n := range r.nodes {
		r.must(fmt.Sprintf("start node %d at %s", i+1, n.address), r.start(n))
	}
	r.must("three voters", r.waitVoters())

	d, err := driver.New(r.store)
	r.must("dqlite driver", err)
	sql.Register("jix-dqlite-failover", d)
	r.db, err = sql.Open("jix-dqlite-failover", "jix")
	r.must("open the replicated database", err)
	r.local, err = openLocal(filepath.Join(scratch, "local.db"), r.jix)
	r.must("open the local reference with jix", err)

	rng := rand.New(rand.NewSource(19))
	r.writeAll(rng)
	r.nodeChecks()
	r.compareAll("first leader")

	victim, err := r.leaderIndex()
	r.must("find the leader", err)
	r.nodes[victim].cmd.Process.Signal(syscall.SIGKILL)
	r.nodes[victim].exited <- <-r.nodes[victim].exited // waits for the end, keeps it for stopped()
	killed := r.nodes[victim].address
	r.must(fmt.Sprintf("SIGKILL the leader (node %d); another node leads", victim+1),
		r.waitCluster("new leader", func(leader *client.NodeInfo, _ []client.NodeInfo) bool { return leader.Address != killed }))
	r.compareAll("new leader")
	r.transaction("write on the new leader", append(docInserts(rng, 36, 42), write{sql: "DELETE FROM docs WHERE id = 'doc-30'"},
		write{sql: "UPDATE notes SET embedding = '[1, 1, 1, 1]' WHERE rowid = 9"}), true)

	r.must(fmt.Sprintf("restart node %d", victim+1), r.start(r.nodes[victim]))
	for k := 0; k < 3; k++ {
		i := (victim + k) % 3 // the restarted node first: it has to catch up before it can lead
		r.must(fmt.Sprintf("leadership moves to node %d", i+1), r.transferTo(i))
		r.compareAll(fmt.Sprintf("node %d leading", i+1))
	}

	// SIGTERM hands leadership over before the node stops.
	leader, err := r.leaderIndex()
	r.must("find the leader", err)
	r.nodes[leader].cmd.Process.Signal(syscall.SIGTERM)
	var exitErr error
	select {
	case exitErr = <-r.nodes[leader].exited:
		r.nodes[leader].exited <- exitErr
	case <-time.After(waitLimit):
		exitErr = fmt.Errorf("still running after %v", waitLimit)
	}
	r.check(fmt.Sprintf("SIGTERM stops the leader (node %d) cleanly", leader+1), exitErr)
	stopped := r.nodes[leader].address
	r.check("another node leads after the handover", r.waitCluster("new leader",
		func(l *client.NodeInfo, _ []client.NodeInfo) bool { return l.Address != stopped }))
	rows, err := r.queryCluster("SELECT count(*) FROM docs WHERE embedding MATCH ? AND k = 3", queryVector)
	if err == nil && (len(rows) != 1 || rows[0][0] != "i:3") {
		err = fmt.Errorf("got %v", rows)
	}
	r.check("the remaining two answer KNN", err)
	r.stopAll()

	r.tlsRun(certs)
	fmt.Printf("failover: finished in %.1f s\n", time.Since(start).Seconds())
	r.finish()
}

// Client TLS as the nodes use it: the cluster's authority, the cluster's name, and the given
// certificate (none when nil).
func tlsDial(cert *tls.Certificate, pool *x509.CertPool) client.DialFunc {
	config := &tls.Config{MinVersion: tls.VersionTLS12, RootCAs: pool, ServerName: clusterName}
	if cert != nil {
		// Always sent, even when the node asks for another authority's, so that it is the
		// node that judges it.
		config.GetClientCertificate = func(*tls.CertificateRequestInfo) (*tls.Certificate, error) { return cert, nil }
	}
	return client.DialFuncWithTLS(client.DefaultDialFunc, config)
}

// Three nodes with TLS on loopback: a write, the same KNN answer from each node leading in
// turn, and clients without a certificate of the cluster's authority refused.
func (r *run) tlsRun(certs *certSet) {
	addresses, err := freePorts(3)
	r.must("TLS: pick three free loopback ports", err)
	first := len(r.nodes)
	var infos []client.NodeInfo
	for i, a := range addresses {
		n := &node{address: a, dir: filepath.Join(r.scratch, fmt.Sprintf("node%d", first+i+1)),
			log:     filepath.Join(r.scratch, fmt.Sprintf("node%d.log", first+i+1)),
			tlsArgs: []string{"--tls-cert", certs.nodes[i][0], "--tls-key", certs.nodes[i][1], "--tls-ca", certs.caFile}}
		if i > 0 {
			n.joinArg = []string{"--join", addresses[0]}
		}
		r.nodes = append(r.nodes, n)
		infos = append(infos, client.NodeInfo{Address: a})
	}
	clientCert, err := certs.client.pair()
	r.must("TLS: the client certificate", err)
	dial := tlsDial(&clientCert, certs.pool)
	r.clientOpts = []client.Option{client.WithDialFunc(dial)}
	r.store = client.NewInmemNodeStore()
	r.store.Set(context.Background(), infos)

	for i := first; i < len(r.nodes); i++ {
		r.must(fmt.Sprintf("TLS: start node %d at %s", i+1, r.nodes[i].address), r.start(r.nodes[i]))
	}
	r.must("TLS: three voters", r.waitVoters())
	d, err := driver.New(r.store, driver.WithDialFunc(dial))
	r.must("TLS: dqlite driver", err)
	sql.Register("jix-dqlite-failover-tls", d)
	r.db, err = sql.Open("jix-dqlite-failover-tls", "jix")
	r.must("TLS: open the replicated database", err)
	r.local, err = openLocal(filepath.Join(r.scratch, "local-tls.db"), r.jix)
	r.must("TLS: open the local reference with jix", err)

	rng := rand.New(rand.NewSource(1919))
	r.transaction("TLS: create a jix0 table and write rows", append([]write{{sql: "CREATE VIRTUAL TABLE docs USING jix0(" +
		"id text primary key, tenant integer partition key, embedding float[8] distance_metric=cosine, genre text, " +
		"year integer, score float, +title text, chunk_size=8)"}}, docInserts(rng, 0, 12)...), true)
	knn := queries[0]
	for i := first; i < len(r.nodes); i++ {
		r.must(fmt.Sprintf("TLS: leadership moves to node %d", i+1), r.transferTo(i))
		local, err := r.local.Query(knn.sql, knn.args...)
		if err == nil && len(local) < knn.rows {
			err = fmt.Errorf("the local file gave %d rows, expected at least %d", len(local), knn.rows)
		}
		if err == nil {
			var cluster [][]string
			if cluster, err = r.queryCluster(knn.sql, knn.args...); err == nil {
				err = sameRows(cluster, local)
			}
		}
		r.check(fmt.Sprintf("TLS: node %d leading: knn", i+1), err)
	}

	stranger, err := certs.stranger.pair()
	r.must("TLS: a certificate of another authority", err)
	clients := []struct {
		name   string
		dial   client.DialFunc
		reason string // what the node logs when it refuses the client; "" when it serves it
	}{
		{"a client with a certificate of the cluster's authority is served", dial, ""},
		{"a client without TLS is refused", client.DefaultDialFunc,
			"tls: first record does not look like a TLS handshake"},
		{"a TLS client without a certificate is refused", tlsDial(nil, certs.pool),
			"tls: client didn't provide a certificate"},
		{"a client with a certificate of another authority is refused", tlsDial(&stranger, certs.pool),
			"x509: certificate signed by unknown authority"},
	}
	// The client sees the refusal as a TLS alert or a closed connection, whichever comes
	// first; the node's log says why.
	const answerLimit = 5 * time.Second
	target := r.nodes[first]
	for _, c := range clients {
		logBefore, _ := os.ReadFile(target.log)
		ctx, cancel := context.WithTimeout(context.Background(), answerLimit)
		began := time.Now()
		cli, err := client.New(ctx, target.address, client.WithDialFunc(c.dial))
		if err == nil {
			_, err = cli.Leader(ctx)
			cli.Close()
		}
		cancel()
		switch {
		case c.reason == "":
		case err == nil:
			err = fmt.Errorf("served")
		case time.Since(began) >= answerLimit:
			err = fmt.Errorf("no answer within %v (%v): a refusal closes the connection at once", answerLimit, err)
		default:
			clientErr := err
			err = fmt.Errorf("the client got %q, but the node did not log %q", clientErr, c.reason)
			for deadline := time.Now().Add(2 * time.Second); time.Now().Before(deadline); time.Sleep(50 * time.Millisecond) {
				logAfter, _ := os.ReadFile(target.log)
				if len(logAfter) >= len(logBefore) && strings.Contains(string(logAfter[len(logBefore):]), c.reason) {
					err = nil
					break
				}
			}
		}
		r.check("TLS: "+c.name, err)
	}
}
