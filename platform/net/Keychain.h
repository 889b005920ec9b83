// The user's default keychain: a store of certificates and private keys of our own in
// $XDG_DATA_HOME/keychains/login/ (folder 0700, one file 0600 per item, written to a
// temporary file and renamed, every change under an flock on the folder's lock file so that
// the server's threads and the installer never collide).
//
// Items keep their import order. A certificate is labelled by its certificate's common name.
// An identity is a certificate whose public key matches a stored private key.
#pragma once

#include <QString>

#include <memory>
#include <optional>
#include <vector>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace zuvo::keychain {

using X509Ptr = std::shared_ptr<X509>;
using KeyPtr = std::shared_ptr<EVP_PKEY>;

struct Certificate {
  QString itemId;  // the item's name in the store
  QString label;   // the certificate's common name (empty when it has none)
  X509Ptr x509;
};

struct Identity {
  Certificate certificate;
  QString keyItemId;
  KeyPtr privateKey;
};

// $XDG_DATA_HOME/keychains/login (see paths::applicationSupportDirectory).
QString defaultKeychainPath();

// Imports the private key, the certificate and any further certificates of PKCS#12 data,
// in that order. An item identical to a stored one is not stored again. False (with a
// reason) when the data cannot be read with this pass phrase or the store cannot be written.
bool importPKCS12(const QByteArray& data, const QString& passphrase, QString* error = nullptr);

// Every certificate in store order.
std::vector<Certificate> certificates();

// Every identity in store order of its certificate.
std::vector<Identity> identities();

// The first certificate whose label is exactly this text.
std::optional<Certificate> findCertificate(const QString& label);

// Deletes one item by its id (a certificate's private key stays). False when it is not there.
bool deleteItem(const QString& itemId);

// The certificate's common name (the last CN of its subject); empty when it has none.
QString commonName(const X509* certificate);

}  // namespace zuvo::keychain
