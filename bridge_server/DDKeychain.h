// The bridge server's TLS identity in the user's keychain: the conversion of the fetched
// PEM (key and certificate) into a keychain identity, and the search for that identity.
#pragma once

#include "platform/net/Keychain.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class DDKeychain {
 public:
  // <private temporary folder>/SecureHTTPServer, created (mode 0700) when missing. Empty when
  // the folder is not a private folder of this user (a symlink, another owner, other modes
  // that cannot be corrected); nothing is then ever written there.
  static QString applicationTemporaryDirectory();

  // Writes the PEM text to "certificate.pem" in the work folder: a new file of mode 0600
  // (a stale one is replaced). False with a reason on failure.
  static bool writeCertificatePEM(const QByteArray& pem, QString* error = nullptr);

  // Turns "certificate.pem" of the work folder into a keychain identity with
  // /usr/bin/openssl (pkcs12 -export, at most 30 s) and removes both work files, whatever
  // happens. Conversions of several threads run one after the other.
  static void createNewIdentity();

  // The first identity of the keychain whose certificate's common name is exactly the
  // deployment's LocalServerHostName, as a list of one; an empty list when there is none.
  static QList<zuvo::keychain::Identity> SSLIdentityAndCertificates();

  // The first identity for the LocalServerHostName whose certificate is valid now (within
  // its validity period); nullopt when there is none.
  static std::optional<zuvo::keychain::Identity> validIdentity();

  // The stored identity for the LocalServerHostName whose certificate is one of the
  // certificates in this PEM text, when it is valid now: how the start-up checks that a
  // fetched certificate has really become a usable identity.
  static std::optional<zuvo::keychain::Identity> validIdentityFor(const QByteArray& pem);

  // Deletes every certificate labelled LocalServerHostName except this identity's (the
  // private keys stay).
  static void deleteOtherCertificates(const zuvo::keychain::Identity& keep);
};
