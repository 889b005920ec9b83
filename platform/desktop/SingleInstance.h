// One running copy of a program per user: the copy that owns the program's session-bus
// name serves org.freedesktop.Application.Activate at the program's object path; a later
// copy finds the name taken and asks the owner to come to the front instead.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace zuvo {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Claim { Owned, AlreadyRunning, NoBus };

  // service "com.roza.<name>", path "/com/roza/<name>"; onActivate runs on the main thread.
  SingleInstance(const QString& service, const QString& path, std::function<void()> onActivate,
                 QObject* parent = nullptr);
  ~SingleInstance() override;

  // Registers the object and takes the name, never queueing for it. error: why not.
  Claim claim(QString* error = nullptr);
  // Asks the owner of service to come to the front and waits (bounded) for its answer.
  static bool activateRunning(const QString& service, const QString& path, QString* error = nullptr);

 private:
  friend class ApplicationAdaptor;
  QString service_;
  QString path_;
  std::function<void()> onActivate_;
  bool owned_ = false;
};

}  // namespace zuvo
