#include "writer_bridge/Office.h"

#include "writer_bridge/OfficePipe.h"

#include <QFile>
#include <QFileInfo>

#include <com/sun/star/awt/XTopWindow.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/document/DocumentEvent.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/XDocumentEventBroadcaster.hpp>
#include <com/sun/star/document/XDocumentEventListener.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XTerminateListener.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/text/XTextDocument.hpp>
#include <com/sun/star/text/XTextViewCursor.hpp>
#include <com/sun/star/text/XTextViewCursorSupplier.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XReplaceDescriptor.hpp>
#include <com/sun/star/util/XReplaceable.hpp>
#include <com/sun/star/view/XPrintable.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using rtl::OUString;

namespace zuvo::writer {
namespace {

namespace css = com::sun::star;
using rtl::OUString;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

OUString toOU(const QString& s) { return OUString(reinterpret_cast<const sal_Unicode*>(s.utf16()), sal_Int32(s.size())); }
QString toQ(const OUString& s) { return QString(reinterpret_cast<const QChar*>(s.getStr()), s.getLength()); }
std::string toStd(const OUString& s) { return toQ(s).toStdString(); }

css::beans::PropertyValue property(const char* name, const css::uno::Any& value) {
  css::beans::PropertyValue p;
  p.Name = OUString::createFromAscii(name);
  p.Value = value;
  return p;
}

struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

OUString fileUrl(const QString& path) {
  OUString url;
  if (osl::FileBase::getFileURLFromSystemPath(toOU(path), url) != osl::FileBase::E_None)
    throw OfficeError("not a file path: " + path.toStdString());
  return url;
}

bool isModified(const Reference<css::frame::XModel>& m) {
  Reference<css::util::XModifiable> mod(m, UNO_QUERY);
  return mod.is() && mod->isModified();
}

void closeDocument(const Reference<css::frame::XModel>& m) {
  if (Reference<css::util::XModifiable> mod{m, UNO_QUERY}; mod.is()) mod->setModified(false);
  Reference<css::util::XCloseable> c(m, UNO_QUERY);
  if (c.is()) c->close(true);
  else if (Reference<css::lang::XComponent> comp{m, UNO_QUERY}; comp.is()) comp->dispose();
}

class TerminationListener : public cppu::WeakImplHelper1<css::frame::XTerminateListener> {
 public:
  explicit TerminationListener(std::function<void()> onTermination) : onTermination_(std::move(onTermination)) {}
  void SAL_CALL queryTermination(const css::lang::EventObject&) override {}
  void SAL_CALL notifyTermination(const css::lang::EventObject&) override {
    if (onTermination_) onTermination_();
  }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}

 private:
  std::function<void()> onTermination_;
};

// A save writes a new file under the same name: the document then is that file, not a copy
// replaced under it.
class SaveListener : public cppu::WeakImplHelper1<css::document::XDocumentEventListener> {
 public:
  explicit SaveListener(std::function<void(const Reference<css::frame::XModel>&)> onSaved) : onSaved_(std::move(onSaved)) {}
  void SAL_CALL documentEventOccured(const css::document::DocumentEvent& event) override {
    if (event.EventName == "OnSaveDone" || event.EventName == "OnSaveAsDone")
      onSaved_(Reference<css::frame::XModel>(event.Source, UNO_QUERY));
  }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}

 private:
  std::function<void(const Reference<css::frame::XModel>&)> onSaved_;
};

}  // namespace

struct Office::Impl {
  OfficeOptions options;
  Reference<css::uno::XComponentContext> local;
  Reference<css::frame::XDesktop2> desktop;
  Reference<css::frame::XTerminateListener> terminationListener;
  bool startedByUs = false;
  std::vector<pid_t> children;

  std::mutex mutex;                    // loaded is also written by save events
  std::map<OUString, FileId> loaded;   // the file each document was loaded from
  OUString front;                      // the document opened or filled last

  void reapChildren() {
    std::erase_if(children, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
  }

  void bootstrap() {
    if (local.is()) return;
    // The URE finds its types and services only through this file.
    ::setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:" ZUVO_OFFICE_PROGRAM_DIR "/fundamentalrc", 1);
    try {
      local = cppu::defaultBootstrap_InitialComponentContext();
    } catch (const css::uno::Exception& e) {
      throw OfficeError("the UNO runtime did not start: " + toStd(e.Message));
    }
  }

  // Reaches the acceptor. A LibreOffice that takes the connection and never answers would
  // hold this call for good, so it runs on a thread of its own, waited for until the deadline.
  enum class Resolve { Done, Refused, TimedOut };
  Resolve tryResolve(const OUString& url, std::chrono::steady_clock::time_point deadline, std::string* why) {
    struct Attempt {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
      Reference<css::frame::XDesktop2> desktop;
      std::string why;
    };
    auto attempt = std::make_shared<Attempt>();
    std::thread([attempt, url, local = local] {
      Reference<css::frame::XDesktop2> desktop;
      std::string why;
      try {
        Reference<css::bridge::XUnoUrlResolver> resolver = css::bridge::UnoUrlResolver::create(local);
        Reference<css::uno::XComponentContext> remote(resolver->resolve(url), UNO_QUERY_THROW);
        desktop = css::frame::Desktop::create(remote);
      } catch (const css::uno::Exception& e) {
        why = toStd(e.Message);
      }
      std::lock_guard lock(attempt->mutex);
      attempt->desktop = desktop;
      attempt->why = why;
      attempt->finished = true;
      attempt->done.notify_all();
    }).detach();
    std::unique_lock lock(attempt->mutex);
    if (!attempt->done.wait_until(lock, deadline, [&] { return attempt->finished; })) {
      *why = "LibreOffice took the connection and did not answer";
      return Resolve::TimedOut;
    }
    if (!attempt->desktop.is()) {
      *why = attempt->why;
      return Resolve::Refused;
    }
    try {
      desktop = attempt->desktop;
      terminationListener = new TerminationListener(options.onTermination);
      desktop->addTerminateListener(terminationListener);
      return Resolve::Done;
    } catch (const css::uno::Exception& e) {
      *why = toStd(e.Message);
    }
    desktop.clear();
    return Resolve::Refused;
  }

  // A LibreOffice this bridge started that never answered is no use to anyone: it goes, with
  // the soffice.bin its start script made (same session and group).
  void endChild(pid_t child) {
    if (std::find(children.begin(), children.end(), child) == children.end()) return;
    ::killpg(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::erase(children, child);
  }

  void connect() {
    if (desktop.is()) return;
    bootstrap();
    const QString socket = pipeSocketPath(options.pipeName, ::getuid());
    const OUString url = toOU(QStringLiteral("uno:pipe,name=%1;urp;StarOffice.ComponentContext").arg(options.pipeName));
    const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    pid_t child = -1;
    std::string why = "no answer";
    for (;;) {
      switch (checkPipe(socket, ::getuid())) {
        case PipeState::Foreign:
          throw OfficeError("refused the LibreOffice pipe " + socket.toStdString() + ": it is not this user's");
        case PipeState::Ours:
          switch (tryResolve(url, deadline, &why)) {
            case Resolve::Done:
              startedByUs = child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0;
              return;
            case Resolve::TimedOut:
              if (child > 0) endChild(child);
              throw OfficeError("LibreOffice does not answer (" + why + ")");
            case Resolve::Refused: break;
          }
          break;
        case PipeState::Absent: break;
      }
      if (child < 0) {
        child = startDetachedChild(options.program, startArguments(options.pipeName, options.headless));
        if (child < 0) throw OfficeError("could not run " + options.program.toStdString());
        children.push_back(child);
      } else if (int status = 0; std::find(children.begin(), children.end(), child) != children.end() &&
                                 ::waitpid(child, &status, WNOHANG) == child) {
        std::erase(children, child);
        // 0: handed the acceptor to a LibreOffice that runs already; anything else: it failed.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
          throw OfficeError("LibreOffice could not be started (" + options.program.toStdString() + " ended with " +
                            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")");
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        if (child > 0) endChild(child);
        throw OfficeError("LibreOffice did not answer on its pipe in time (" + why + ")");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  void reset() {
    desktop.clear();
    terminationListener.clear();
    std::lock_guard lock(mutex);
    loaded.clear();
  }

  // Runs the step; a LibreOffice that went away meanwhile is reached again (or started) once.
  template <class F>
  auto run(F step) {
    reapChildren();
    try {
      connect();
      try {
        return step();
      } catch (const css::lang::DisposedException&) {
        reset();
      }
      connect();
      return step();
    } catch (const css::uno::Exception& e) {
      throw OfficeError(toStd(e.Message.isEmpty() ? OUString("LibreOffice failed") : e.Message));
    }
  }

  Reference<css::frame::XModel> findOpen(const OUString& url) {
    Reference<css::container::XEnumeration> e = desktop->getComponents()->createEnumeration();
    while (e->hasMoreElements()) {
      Reference<css::frame::XModel> m(e->nextElement(), UNO_QUERY);
      if (m.is() && m->getURL() == url) return m;
    }
    return {};
  }

  void rememberSaves(const Reference<css::frame::XModel>& model) {
    Reference<css::document::XDocumentEventBroadcaster> b(model, UNO_QUERY);
    if (!b.is()) return;
    b->addDocumentEventListener(new SaveListener([this](const Reference<css::frame::XModel>& m) {
      if (!m.is()) return;
      const OUString url = m->getURL();
      OUString path;
      if (osl::FileBase::getSystemPathFromFileURL(url, path) != osl::FileBase::E_None) return;
      const std::optional<FileId> id = fileId(toQ(path));
      std::lock_guard lock(mutex);
      if (id) loaded[url] = *id;
    }));
  }

  Reference<css::frame::XModel> load(const OUString& url, bool hidden) {
    Reference<css::frame::XComponentLoader> loader(desktop, UNO_QUERY_THROW);
    const css::beans::PropertyValue list[] = {
        property("Hidden", css::uno::Any(hidden)),
        property("MacroExecutionMode", css::uno::Any(css::document::MacroExecMode::NEVER_EXECUTE)),
    };
    const Sequence<css::beans::PropertyValue> args(list, 2);
    Reference<css::frame::XModel> m(
        loader->loadComponentFromURL(url, hidden ? OUString("_blank") : OUString("_default"), 0, args), UNO_QUERY);
    if (!m.is()) throw OfficeError("LibreOffice could not open " + toStd(url));
    return m;
  }

  // The open document of this file, or the file loaded; a document whose file was replaced
  // since it was loaded is loaded again.
  Reference<css::frame::XModel> openDocument(const QString& path) {
    const OUString url = fileUrl(path);
    const std::optional<FileId> id = fileId(path);
    if (!id) throw OfficeError("no such file: " + path.toStdString());
    Reference<css::frame::XModel> m = findOpen(url);
    if (m.is()) {
      bool replaced = false;
      {
        std::lock_guard lock(mutex);
        const auto it = loaded.find(url);
        // Opened before this bridge knew it: reading it again loses nothing unless it has edits.
        replaced = it == loaded.end() ? !isModified(m) : !(it->second == *id);
      }
      if (!replaced) return m;
      closeDocument(m);
    }
    m = load(url, false);
    {
      std::lock_guard lock(mutex);
      loaded[url] = *id;
    }
    rememberSaves(m);
    return m;
  }

  static void show(const Reference<css::frame::XModel>& m) {
    Reference<css::frame::XController> c = m->getCurrentController();
    if (!c.is()) return;
    Reference<css::frame::XFrame> f = c->getFrame();
    if (!f.is()) return;
    if (Reference<css::awt::XWindow> w = f->getContainerWindow(); w.is()) {
      w->setVisible(true);
      if (Reference<css::awt::XTopWindow> top{w, UNO_QUERY}; top.is()) top->toFront();
    }
    f->activate();
  }
};

Office::Office(OfficeOptions options) : d(std::make_unique<Impl>()) { d->options = std::move(options); }

Office::~Office() {
  try {
    if (d->desktop.is() && d->terminationListener.is()) d->desktop->removeTerminateListener(d->terminationListener);
  } catch (...) {
  }
}

void Office::connect() {
  d->run([] {});
}

bool Office::startedByUs() const { return d->startedByUs; }
bool Office::connected() const { return d->desktop.is(); }

void Office::open(const QString& path) {
  d->run([&] {
    Reference<css::frame::XModel> m = d->openDocument(path);
    d->front = m->getURL();
    Impl::show(m);
  });
}

int Office::fill(const QString& path, const QString& tag, const QString& value) {
  return d->run([&] {
    Reference<css::frame::XModel> m = d->openDocument(path);
    d->front = m->getURL();
    Impl::show(m);
    Reference<css::util::XReplaceable> r(m, UNO_QUERY);
    if (!r.is()) throw OfficeError("the document of " + path.toStdString() + " has no text to search");
    Reference<css::util::XReplaceDescriptor> desc = r->createReplaceDescriptor();
    desc->setSearchString(toOU(tag));
    desc->setReplaceString(toOU(value));
    Reference<css::beans::XPropertySet> props(desc, UNO_QUERY_THROW);
    props->setPropertyValue("SearchWords", css::uno::Any(true));
    props->setPropertyValue("SearchCaseSensitive", css::uno::Any(true));
    props->setPropertyValue("SearchRegularExpression", css::uno::Any(false));
    return int(r->replaceAll(Reference<css::util::XSearchDescriptor>(desc, UNO_QUERY_THROW)));
  });
}

void Office::typeAtSelection(const QString& text) {
  d->run([&] {
    auto isText = [](const Reference<css::frame::XModel>& m) {
      return m.is() && Reference<css::text::XTextDocument>(m, UNO_QUERY).is();
    };
    Reference<css::frame::XModel> m(d->desktop->getCurrentComponent(), UNO_QUERY);
    if (!isText(m) && !d->front.isEmpty()) m = d->findOpen(d->front);
    if (!isText(m)) throw OfficeError("no text document is open");
    Reference<css::text::XTextViewCursorSupplier> supplier(m->getCurrentController(), UNO_QUERY);
    if (!supplier.is()) throw OfficeError("the document has no view");
    Reference<css::text::XTextViewCursor> cursor = supplier->getViewCursor();
    cursor->setString(toOU(text));
    cursor->collapseToEnd();
  });
}

void Office::print(const QString& path, const QString& printer) {
  d->run([&] {
    const OUString url = fileUrl(path);
    if (!fileId(path)) throw OfficeError("no such file: " + path.toStdString());
    Reference<css::frame::XModel> m = d->findOpen(url);
    const bool ours = !m.is();
    if (ours) m = d->load(url, true);
    struct CloseOurs {
      const Reference<css::frame::XModel>& m;
      bool ours;
      ~CloseOurs() {
        if (!ours) return;
        try {
          closeDocument(m);
        } catch (...) {
        }
      }
    } closer{m, ours};
    Reference<css::view::XPrintable> printable(m, UNO_QUERY);
    if (!printable.is()) throw OfficeError(path.toStdString() + " cannot be printed");
    const bool wasModified = isModified(m);
    if (!printer.isEmpty()) {
      const css::beans::PropertyValue name = property("Name", css::uno::Any(toOU(printer)));
      printable->setPrinter(Sequence<css::beans::PropertyValue>(&name, 1));
    }
    const css::beans::PropertyValue wait = property("Wait", css::uno::Any(true));
    printable->print(Sequence<css::beans::PropertyValue>(&wait, 1));
    if (!ours && !wasModified)
      if (Reference<css::util::XModifiable> mod{m, UNO_QUERY}; mod.is()) mod->setModified(false);
  });
}

void Office::terminateIfIdle() {
  if (!d->desktop.is()) return;
  try {
    if (d->desktop->getComponents()->createEnumeration()->hasMoreElements()) return;
    if (d->terminationListener.is()) d->desktop->removeTerminateListener(d->terminationListener);
    d->terminationListener.clear();
    d->desktop->terminate();
  } catch (const css::uno::Exception&) {
    // A LibreOffice that ends while it answers is ended.
  }
  d->desktop.clear();
}

}  // namespace zuvo::writer
