// The pieces of the tenant and client identifiers. The program never keeps either identifier
// whole: the token request joins the pieces with "-" when it is built.
#pragma once

#include <QStringList>

class Crypto {
 public:
  // The five pieces of the tenant identifier, in order.
  QStringList t() const;
  // The five pieces of the client identifier, in order.
  QStringList i() const;
};
