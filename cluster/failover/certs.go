package main

// Certificates made at test time: a cluster authority and the node and client certificates it
// signs, plus the faulty ones the node must refuse.

import (
	"crypto/ecdsa"
	"crypto/elliptic"
	"crypto/rand"
	"crypto/tls"
	"crypto/x509"
	"crypto/x509/pkix"
	"encoding/pem"
	"math/big"
	"os"
	"path/filepath"
	"time"
)

// The first DNS name of every certificate: nodes and clients dial each node under this name.
const clusterName = "jix-cluster"

type authority struct {
	cert *x509.Certificate
	key  *ecdsa.PrivateKey
	pem  []byte
}

type issued struct {
	certPEM, keyPEM []byte
}

var serial int64

func template(commonName string) *x509.Certificate {
	serial++
	return &x509.Certificate{
		SerialNumber: big.NewInt(serial),
		Subject:      pkix.Name{CommonName: commonName},
		NotBefore:    time.Now().Add(-time.Hour),
		NotAfter:     time.Now().Add(24 * time.Hour),
	}
}

func newAuthority(name string) (*authority, error) {
	key, err := ecdsa.GenerateKey(elliptic.P256(), rand.Reader)
	if err != nil {
		return nil, err
	}
	t := template(name)
	t.IsCA = true
	t.BasicConstraintsValid = true
	t.KeyUsage = x509.KeyUsageCertSign
	der, err := x509.CreateCertificate(rand.Reader, t, t, &key.PublicKey, key)
	if err != nil {
		return nil, err
	}
	cert, err := x509.ParseCertificate(der)
	if err != nil {
		return nil, err
	}
	return &authority{cert: cert, key: key, pem: pem.EncodeToMemory(&pem.Block{Type: "CERTIFICATE", Bytes: der})}, nil
}

func (a *authority) issue(commonName string, dnsNames ...string) (issued, error) {
	key, err := ecdsa.GenerateKey(elliptic.P256(), rand.Reader)
	if err != nil {
		return issued{}, err
	}
	t := template(commonName)
	t.DNSNames = dnsNames
	t.KeyUsage = x509.KeyUsageDigitalSignature
	t.ExtKeyUsage = []x509.ExtKeyUsage{x509.ExtKeyUsageServerAuth, x509.ExtKeyUsageClientAuth}
	der, err := x509.CreateCertificate(rand.Reader, t, a.cert, &key.PublicKey, a.key)
	if err != nil {
		return issued{}, err
	}
	keyDER, err := x509.MarshalECPrivateKey(key)
	if err != nil {
		return issued{}, err
	}
	return issued{pem.EncodeToMemory(&pem.Block{Type: "CERTIFICATE", Bytes: der}),
		pem.EncodeToMemory(&pem.Block{Type: "EC PRIVATE KEY", Bytes: keyDER})}, nil
}

func (c issued) pair() (tls.Certificate, error) { return tls.X509KeyPair(c.certPEM, c.keyPEM) }

// Writes name.crt and name.key into dir; returns their paths.
func (c issued) write(dir, name string) (certFile, keyFile string, err error) {
	certFile, keyFile = filepath.Join(dir, name+".crt"), filepath.Join(dir, name+".key")
	if err = os.WriteFile(certFile, c.certPEM, 0o644); err == nil {
		err = os.WriteFile(keyFile, c.keyPEM, 0o600)
	}
	return certFile, keyFile, err
}

// Everything the run needs, written under dir.
type certSet struct {
	dir        string
	caFile     string
	nodes      [3][2]string // certificate and key file of each node
	client     issued       // signed by the cluster's authority
	stranger   issued       // signed by another authority
	noDNS      [2]string    // signed by the cluster's authority, without a DNS name
	strangerCA string       // the other authority's certificate file
	pool       *x509.CertPool
}

func makeCerts(dir string) (*certSet, error) {
	if err := os.MkdirAll(dir, 0o755); err != nil {
		return nil, err
	}
	ca, err := newAuthority("jix test cluster CA")
	if err != nil {
		return nil, err
	}
	other, err := newAuthority("another CA")
	if err != nil {
		return nil, err
	}
	s := &certSet{dir: dir, caFile: filepath.Join(dir, "ca.crt"), strangerCA: filepath.Join(dir, "other-ca.crt"),
		pool: x509.NewCertPool()}
	s.pool.AddCert(ca.cert)
	if err := os.WriteFile(s.caFile, ca.pem, 0o644); err != nil {
		return nil, err
	}
	if err := os.WriteFile(s.strangerCA, other.pem, 0o644); err != nil {
		return nil, err
	}
	for i := range s.nodes {
		name := []string{"node1", "node2", "node3"}[i]
		c, err := ca.issue(name, clusterName, name+".example")
		if err == nil {
			s.nodes[i][0], s.nodes[i][1], err = c.write(dir, name)
		}
		if err != nil {
			return nil, err
		}
	}
	if s.client, err = ca.issue("client", clusterName); err != nil {
		return nil, err
	}
	if s.stranger, err = other.issue("stranger", clusterName); err != nil {
		return nil, err
	}
	if _, _, err = s.stranger.write(dir, "stranger"); err != nil {
		return nil, err
	}
	noDNS, err := ca.issue("no-dns")
	if err == nil {
		s.noDNS[0], s.noDNS[1], err = noDNS.write(dir, "no-dns")
	}
	return s, err
}
