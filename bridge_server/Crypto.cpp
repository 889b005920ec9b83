#include "bridge_server/Crypto.h"

#include "Deployment.h"

#include <algorithm>

namespace {

QStringList builtIn(const char* const (&pieces)[5]) {
  QStringList list;
  for (const char* p : pieces) list.append(QString::fromLatin1(p));
  return list;
}

}  // namespace

QStringList Crypto::t() const {
  QStringList list = builtIn(zuvo::deployment::kTenantPieces);
  list.swapItemsAt(0, 4);
  std::reverse(list.begin(), list.end());
  return list;
}

QStringList Crypto::i() const {
  QStringList list = builtIn(zuvo::deployment::kClientPieces);
  list.swapItemsAt(1, 2);
  return list;
}
