// Test identities made with /usr/bin/openssl at test time.
#pragma once

#include <QByteArray>
#include <QString>

namespace zuvo::test {

struct TestIdentity {
  QString keyFile;
  QString certFile;   // self-signed: also the CA for clients
  QString pemFile;    // key and certificate in one PEM
  QByteArray pem;
};

// An EC key and a self-signed certificate for this common name (and DNS name), in a new
// folder under the test root.
TestIdentity makeTestIdentity(const QString& commonName);

// PKCS#12 data of the identity, protected by the pass phrase.
QByteArray makePKCS12(const TestIdentity& identity, const QString& passphrase);

}  // namespace zuvo::test
