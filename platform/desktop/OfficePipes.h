// The unix sockets LibreOffice listens on for a user: its UNO acceptors and each profile's
// single-instance pipe. UNO access can run any command, so only a socket of the user's own is
// ever trusted.
#pragma once

#include <QString>
#include <sys/types.h>

namespace zuvo::officepipes {

// The socket LibreOffice makes for a pipe of this user: /tmp/OSL_PIPE_<uid>_<name>.
QString pipeSocketPath(const QString& name, uid_t uid);

enum class PipeState { Absent, Ours, Foreign };
// A socket that is not a socket, or not owned by this user, is never trusted.
PipeState checkPipe(const QString& socketPath, uid_t uid);

}  // namespace zuvo::officepipes
