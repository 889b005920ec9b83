#include "support/TestIdentity.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace zuvo::test {

TestIdentity makeTestIdentity(const QString& commonName) {
  const QString dir = makeTempDir(QStringLiteral("identity"));
  TestIdentity id{dir + "/key.pem", dir + "/cert.pem", dir + "/both.pem", {}};
  QByteArray err;
  const int rc = runProgram("/usr/bin/openssl",
                            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                             "-keyout", id.keyFile, "-out", id.certFile, "-days", "2", "-subj", "/CN=" + commonName,
                             "-addext", "subjectAltName=DNS:" + commonName},
                            nullptr, &err);
  EXPECT_EQ(rc, 0) << err.constData();
  id.pem = readFile(id.keyFile) + readFile(id.certFile);
  writeFile(id.pemFile, id.pem);
  return id;
}

QByteArray makePKCS12(const TestIdentity& identity, const QString& passphrase) {
  const QString out = identity.pemFile + ".p12";
  const int rc = runProgram("/usr/bin/openssl", {"pkcs12", "-export", "-in", identity.pemFile, "-passout",
                                                 "pass:" + passphrase, "-out", out});
  EXPECT_EQ(rc, 0);
  return readFile(out);
}

}  // namespace zuvo::test
