// The editor's name on the session bus, com.roza.zuvoeditor at /com/roza/zuvoeditor: one
// editor per user session. Besides org.freedesktop.Application it serves
// com.roza.EditorSession.Finish(), through which the installer asks the editor to send what
// the server does not have yet before the plug-in is removed; the reply comes once that is
// done (or after a bounded wait).
#pragma once

#include "platform/desktop/SingleInstance.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace zuvo::editor {

inline constexpr char kEditorService[] = "com.roza.zuvoeditor";
inline constexpr char kEditorPath[] = "/com/roza/zuvoeditor";
inline constexpr char kSessionInterface[] = "com.roza.EditorSession";

class EditorSession : public QObject {
  Q_OBJECT
 public:
  // onFinish runs on the main thread for each Finish call; the reply is sent when it calls
  // its argument, or after `bound`, whichever comes first.
  using FinishHandler = std::function<void(std::function<void()> replied)>;
  EditorSession(FinishHandler onFinish, std::chrono::milliseconds bound, QObject* parent = nullptr);
  ~EditorSession() override;

  SingleInstance::Claim claim(QString* error = nullptr);

 private:
  friend class EditorSessionAdaptor;
  FinishHandler onFinish_;
  std::chrono::milliseconds bound_;
  std::unique_ptr<SingleInstance> instance_;
};

}  // namespace zuvo::editor
