#include "editor/EditorSession.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

namespace zuvo::editor {

class EditorSessionAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.roza.EditorSession")
 public:
  EditorSessionAdaptor(SingleInstance* object, EditorSession* session)
      : QDBusAbstractAdaptor(object), session_(session) {}

 public slots:
  void Finish(const QDBusMessage& message) {
    message.setDelayedReply(true);
    auto sent = std::make_shared<bool>(false);
    auto reply = [message, sent] {
      if (std::exchange(*sent, true)) return;
      QDBusConnection::sessionBus().send(message.createReply());
    };
    QTimer::singleShot(session_->bound_, session_, reply);
    if (session_->onFinish_) session_->onFinish_(reply);
    else reply();
  }

 private:
  EditorSession* session_;
};

EditorSession::EditorSession(FinishHandler onFinish, std::chrono::milliseconds bound, QObject* parent)
    : QObject(parent), onFinish_(std::move(onFinish)), bound_(bound) {
  instance_ = std::make_unique<SingleInstance>(QString::fromLatin1(kEditorService), QString::fromLatin1(kEditorPath),
                                               std::function<void()>{});
  // Exported with the object SingleInstance registers.
  new EditorSessionAdaptor(instance_.get(), this);
}

EditorSession::~EditorSession() = default;

SingleInstance::Claim EditorSession::claim(QString* error) { return instance_->claim(error); }

}  // namespace zuvo::editor

#include "EditorSession.moc"
