// Where this user's LibreOffice listens for UNO, and starting it. The acceptor is always a
// named pipe: UNO access can run any command, so it is never offered on a TCP socket.
#pragma once

#include "platform/desktop/OfficePipes.h"

#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace zuvo::writer {

// The LibreOffice start script the bridge runs and the installed entry's TryExec names.
QString officeProgram();

// The pipe name for this user's LibreOffice profile ($XDG_CONFIG_HOME/libreoffice/4): one
// per profile, so that two profiles never share an acceptor.
QString pipeName();
using officepipes::checkPipe;
using officepipes::pipeSocketPath;
using officepipes::PipeState;

// The arguments that start LibreOffice with the acceptor; sent to a LibreOffice that already
// runs for this profile, the same command adds the acceptor to it and ends.
QStringList startArguments(const QString& name, bool headless);

// Starts the program in a session of its own (stdin from /dev/null); -1 when it cannot start.
pid_t startDetachedChild(const QString& program, const QStringList& arguments);

}  // namespace zuvo::writer
