#include "platform/scan/ScannerDeviceSane.h"

#include "platform/core/ErrorReport.h"
#include "platform/process/TerminationSignals.h"

#include <QHash>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTimer>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <thread>
#include <vector>

namespace zuvo::scan {

// ---------------------------------------------------------------------------------------
// Pure rules

namespace {

QStringList wordsOf(const QString& text) {
  static const QRegularExpression separators(QStringLiteral("[^a-z0-9]+"));
  return text.toLower().split(separators, Qt::SkipEmptyParts);
}

bool hasWord(const QStringList& words, std::initializer_list<const char*> any) {
  for (const char* w : any)
    if (words.contains(QLatin1String(w))) return true;
  return false;
}

bool hasPart(const QString& lower, std::initializer_list<const char*> any) {
  for (const char* p : any)
    if (lower.contains(QLatin1String(p))) return true;
  return false;
}

}  // namespace

bool isCameraType(const QString& saneType) {
  return hasPart(saneType.toLower(), {"camera", "webcam", "video", "frame grabber"});
}

int unitTypeOfSource(const QString& sourceValue) {
  const QString lower = sourceValue.toLower();
  const QStringList words = wordsOf(sourceValue);
  if (hasWord(words, {"card"})) return -1;  // card slots are not document feeders
  if (hasPart(lower, {"negative"})) return NegativeTransparency;
  if (hasPart(lower, {"transparen", "slide", "positive", "film"}) || hasWord(words, {"tpu", "xpa", "tma"}))
    return PositiveTransparency;
  if (hasPart(lower, {"feeder"}) || hasWord(words, {"adf", "duplex"})) return DocumentFeeder;
  if (hasPart(lower, {"flatbed", "document table", "reflective"}) ||
      hasWord(words, {"normal", "platen", "glass"}))
    return Flatbed;
  return -1;
}

UnitMap mapFunctionalUnits(const SourceOptions& options) {
  UnitMap map;
  map.duplexOption = options.duplexOption;
  QString firstFeederValue;
  if (options.source) {
    for (const QString& value : *options.source) {
      const int type = unitTypeOfSource(value);
      if (type < 0) continue;
      const QStringList words = wordsOf(value);
      if (type == DocumentFeeder) {
        if (firstFeederValue.isEmpty()) firstFeederValue = value;
        if (hasWord(words, {"duplex"})) {
          if (map.duplexSource.isEmpty()) map.duplexSource = value;
          continue;
        }
        if (hasWord(words, {"back"})) continue;  // one side only, the back: never the plain choice
      }
      if (!map.sourceForType.contains(type)) map.sourceForType.insert(type, value);
    }
    if (!firstFeederValue.isEmpty() && !map.sourceForType.contains(DocumentFeeder))
      map.sourceForType.insert(DocumentFeeder, firstFeederValue);
  }
  map.types = map.sourceForType.keys();  // QMap keys are ascending
  if (map.types.isEmpty()) map.types = {Flatbed};  // scans with whatever the device uses

  QString firstOneSided;
  for (const QString& value : options.adfMode) {
    const QStringList words = wordsOf(value);
    if (hasWord(words, {"duplex"})) {
      if (map.adfModeDuplex.isEmpty()) map.adfModeDuplex = value;
    } else if (hasWord(words, {"simplex"})) {
      if (map.adfModeSimplex.isEmpty()) map.adfModeSimplex = value;
    } else if (firstOneSided.isEmpty()) {
      firstOneSided = value;
    }
  }
  if (map.adfModeSimplex.isEmpty()) map.adfModeSimplex = firstOneSided;
  return map;
}

QList<int> supportedResolutions(const ResolutionConstraint& constraint) {
  static constexpr int kStandard[] = {50, 75, 100, 150, 200, 300, 400, 600, 1200, 2400, 4800};
  constexpr double kEpsilon = 1e-3;
  QList<int> result;
  switch (constraint.kind) {
    case ResolutionConstraint::None:
      break;
    case ResolutionConstraint::WordList:
      for (double w : constraint.words) {
        const int dpi = int(std::lround(w));
        if (dpi > 0) result.append(dpi);
      }
      std::sort(result.begin(), result.end());
      result.erase(std::unique(result.begin(), result.end()), result.end());
      break;
    case ResolutionConstraint::Range: {
      for (int dpi : kStandard) {
        if (dpi < constraint.min - kEpsilon || dpi > constraint.max + kEpsilon) continue;
        if (constraint.quant > kEpsilon) {
          const double steps = (dpi - constraint.min) / constraint.quant;
          if (std::fabs(steps - std::round(steps)) > kEpsilon) continue;
        }
        result.append(dpi);
      }
      if (result.isEmpty()) result.append(std::max(1, int(std::ceil(constraint.min - kEpsilon))));
      break;
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------
// SANE on its worker thread

namespace {

constexpr int kRediscoverMs = 3000;
// Texts the main thread needs without asking SANE (they are SANE's own status texts).
const char* const kInvalidText = "Invalid argument";
const char* const kBusyText = "Device busy";
const char* const kDeviceGoneText = "Error during device I/O";
const char* const kFeederEmptyText = "Document feeder out of documents";

std::atomic<int> gOpenHandles{0};
std::atomic<bool> gBrowserActive{false};

struct DeviceInfo {
  QString name, vendor, model;
};

// A scan or overview in progress, shared with the main thread so that it can cancel.
struct JobControl {
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  SANE_Handle scanning = nullptr;  // the handle between its first sane_start and its sane_cancel

  // Main thread. SANE allows sane_cancel at any time, from any thread, while the worker
  // waits in sane_read; the mutex keeps it off a handle the worker is done with.
  void cancel() {
    cancelled = true;
    std::lock_guard<std::mutex> lock(mutex);
    if (scanning) sane_cancel(scanning);
  }
};

QString text(const char* s) { return s ? QString::fromUtf8(s) : QString(); }
QString statusText(SANE_Status status) { return text(sane_strstatus(status)); }

struct Option {
  SANE_Int index = -1;
  const SANE_Option_Descriptor* d = nullptr;
  explicit operator bool() const { return d != nullptr; }
};

Option findOption(SANE_Handle h, const char* name) {
  SANE_Int count = 0;
  if (sane_control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD) return {};
  for (SANE_Int i = 1; i < count; ++i) {
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(h, i);
    if (d && d->name && std::strcmp(d->name, name) == 0 && SANE_OPTION_IS_ACTIVE(d->cap)) return {i, d};
  }
  return {};
}

QStringList stringList(const Option& o) {
  QStringList values;
  if (!o || o.d->type != SANE_TYPE_STRING || o.d->constraint_type != SANE_CONSTRAINT_STRING_LIST) return values;
  for (const SANE_String_Const* s = o.d->constraint.string_list; s && *s; ++s) values.append(text(*s));
  return values;
}

double toNumber(const Option& o, SANE_Word w) { return o.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w); }

std::optional<QString> getString(SANE_Handle h, const char* name) {
  const Option o = findOption(h, name);
  if (!o || o.d->type != SANE_TYPE_STRING || o.d->size <= 0) return std::nullopt;
  std::vector<char> buffer(size_t(o.d->size) + 1, '\0');
  if (sane_control_option(h, o.index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) != SANE_STATUS_GOOD)
    return std::nullopt;
  return text(buffer.data());
}

std::optional<double> getNumber(SANE_Handle h, const char* name) {
  const Option o = findOption(h, name);
  if (!o || (o.d->type != SANE_TYPE_INT && o.d->type != SANE_TYPE_FIXED) || o.d->size != sizeof(SANE_Word))
    return std::nullopt;
  SANE_Word w = 0;
  if (sane_control_option(h, o.index, SANE_ACTION_GET_VALUE, &w, nullptr) != SANE_STATUS_GOOD) return std::nullopt;
  return toNumber(o, w);
}

bool setString(SANE_Handle h, const char* name, const QString& value) {
  const Option o = findOption(h, name);
  if (!o || o.d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_SETTABLE(o.d->cap)) return false;
  const QByteArray utf8 = value.toUtf8();
  std::vector<char> buffer(std::max<size_t>(size_t(std::max(o.d->size, 0)), size_t(utf8.size()) + 1), '\0');
  std::memcpy(buffer.data(), utf8.constData(), size_t(utf8.size()));
  return sane_control_option(h, o.index, SANE_ACTION_SET_VALUE, buffer.data(), nullptr) == SANE_STATUS_GOOD;
}

bool setNumber(SANE_Handle h, const char* name, double value) {
  const Option o = findOption(h, name);
  if (!o || !SANE_OPTION_IS_SETTABLE(o.d->cap) || o.d->size != sizeof(SANE_Word)) return false;
  SANE_Word w = 0;
  if (o.d->type == SANE_TYPE_FIXED) w = SANE_FIX(value);
  else if (o.d->type == SANE_TYPE_INT) w = SANE_Word(std::lround(value));
  else return false;
  return sane_control_option(h, o.index, SANE_ACTION_SET_VALUE, &w, nullptr) == SANE_STATUS_GOOD;
}

bool setBool(SANE_Handle h, const char* name, bool value) {
  const Option o = findOption(h, name);
  if (!o || o.d->type != SANE_TYPE_BOOL || !SANE_OPTION_IS_SETTABLE(o.d->cap)) return false;
  SANE_Bool b = value ? SANE_TRUE : SANE_FALSE;
  return sane_control_option(h, o.index, SANE_ACTION_SET_VALUE, &b, nullptr) == SANE_STATUS_GOOD;
}

ResolutionConstraint resolutionConstraint(SANE_Handle h) {
  ResolutionConstraint c;
  const Option o = findOption(h, SANE_NAME_SCAN_RESOLUTION);
  if (!o || (o.d->type != SANE_TYPE_INT && o.d->type != SANE_TYPE_FIXED)) return c;
  if (o.d->constraint_type == SANE_CONSTRAINT_WORD_LIST && o.d->constraint.word_list) {
    c.kind = ResolutionConstraint::WordList;
    const SANE_Word* list = o.d->constraint.word_list;
    for (SANE_Word i = 1; i <= list[0]; ++i) c.words.append(toNumber(o, list[i]));
  } else if (o.d->constraint_type == SANE_CONSTRAINT_RANGE && o.d->constraint.range) {
    c.kind = ResolutionConstraint::Range;
    c.min = toNumber(o, o.d->constraint.range->min);
    c.max = toNumber(o, o.d->constraint.range->max);
    c.quant = toNumber(o, o.d->constraint.range->quant);
  }
  return c;
}

struct Span {
  double min = 0, max = 0;
};

// The range of a geometry option in millimetres; none when it is missing or not in mm.
std::optional<Span> geometrySpan(SANE_Handle h, const char* name) {
  const Option o = findOption(h, name);
  if (!o || o.d->unit != SANE_UNIT_MM || o.d->size != sizeof(SANE_Word)) return std::nullopt;
  if (o.d->constraint_type == SANE_CONSTRAINT_RANGE && o.d->constraint.range)
    return Span{toNumber(o, o.d->constraint.range->min), toNumber(o, o.d->constraint.range->max)};
  if (o.d->constraint_type == SANE_CONSTRAINT_WORD_LIST && o.d->constraint.word_list &&
      o.d->constraint.word_list[0] > 0) {
    const SANE_Word* list = o.d->constraint.word_list;
    Span s{toNumber(o, list[1]), toNumber(o, list[1])};
    for (SANE_Word i = 2; i <= list[0]; ++i) {
      s.min = std::min(s.min, toNumber(o, list[i]));
      s.max = std::max(s.max, toNumber(o, list[i]));
    }
    return s;
  }
  return std::nullopt;
}

// Sets the scan area (mm), clipped to what the device offers.
void setArea(SANE_Handle h, double left, double top, double right, double bottom) {
  const auto x = geometrySpan(h, SANE_NAME_SCAN_BR_X), y = geometrySpan(h, SANE_NAME_SCAN_BR_Y);
  const auto x0 = geometrySpan(h, SANE_NAME_SCAN_TL_X), y0 = geometrySpan(h, SANE_NAME_SCAN_TL_Y);
  if (!x || !y || !x0 || !y0) return;
  setNumber(h, SANE_NAME_SCAN_TL_X, std::clamp(left, x0->min, x0->max));
  setNumber(h, SANE_NAME_SCAN_TL_Y, std::clamp(top, y0->min, y0->max));
  setNumber(h, SANE_NAME_SCAN_BR_X, std::clamp(right, x->min, x->max));
  setNumber(h, SANE_NAME_SCAN_BR_Y, std::clamp(bottom, y->min, y->max));
}

void setWholeArea(SANE_Handle h) {
  const auto x = geometrySpan(h, SANE_NAME_SCAN_BR_X), y = geometrySpan(h, SANE_NAME_SCAN_BR_Y);
  const auto x0 = geometrySpan(h, SANE_NAME_SCAN_TL_X), y0 = geometrySpan(h, SANE_NAME_SCAN_TL_Y);
  if (x && y && x0 && y0) setArea(h, x0->min, y0->min, x->max, y->max);
}

// The `mode` value for colour (2) or grey (anything else).
void setMode(SANE_Handle h, int pixelDataType) {
  const QStringList modes = stringList(findOption(h, SANE_NAME_SCAN_MODE));
  const bool colour = pixelDataType == 2;
  QString exact, loose;
  for (const QString& m : modes) {
    const QStringList words = wordsOf(m);
    const bool match = colour ? hasWord(words, {"color", "colour"}) : hasWord(words, {"gray", "grey"});
    if (!match) continue;
    if (words.size() == 1 && exact.isEmpty()) exact = m;
    if (loose.isEmpty() && !hasWord(words, {"lineart", "halftone"})) loose = m;
  }
  const QString chosen = !exact.isEmpty() ? exact : loose;
  if (!chosen.isEmpty()) setString(h, SANE_NAME_SCAN_MODE, chosen);
}

// Samples of depth 16 come in the host's byte order.
inline uchar sample(const uchar* row, int index, int depth) {
  if (depth == 16) {
    quint16 v;
    std::memcpy(&v, row + 2 * index, 2);
    return uchar(v >> 8);
  }
  return row[index];
}

// Adds one SANE frame to the page image (RGB888); a status other than GOOD when it cannot.
SANE_Status addFrame(QImage& image, const SANE_Parameters& p, const std::vector<uchar>& data) {
  const int width = p.pixels_per_line, bpl = p.bytes_per_line, depth = p.depth;
  if (width <= 0 || bpl <= 0) return SANE_STATUS_INVAL;
  int lines = int(data.size() / size_t(bpl));
  if (p.lines > 0) lines = std::min(lines, p.lines);
  if (lines <= 0) return SANE_STATUS_IO_ERROR;
  const bool single = p.format == SANE_FRAME_RED || p.format == SANE_FRAME_GREEN || p.format == SANE_FRAME_BLUE;
  if (!(depth == 8 || depth == 16 || (depth == 1 && p.format == SANE_FRAME_GRAY))) return SANE_STATUS_UNSUPPORTED;
  const int channels = p.format == SANE_FRAME_RGB ? 3 : 1;
  const int bytesNeeded = depth == 1 ? (width + 7) / 8 : width * channels * (depth / 8);
  if (bpl < bytesNeeded) return SANE_STATUS_INVAL;
  if (image.isNull()) {
    image = QImage(width, lines, QImage::Format_RGB888);
    if (image.isNull()) return SANE_STATUS_NO_MEM;
    if (single) image.fill(Qt::black);
  } else if (!single || image.width() != width) {
    return SANE_STATUS_INVAL;
  }
  lines = std::min(lines, image.height());
  for (int y = 0; y < lines; ++y) {
    const uchar* in = data.data() + size_t(y) * size_t(bpl);
    uchar* out = image.scanLine(y);
    for (int x = 0; x < width; ++x) {
      switch (p.format) {
        case SANE_FRAME_RGB:
          for (int c = 0; c < 3; ++c) out[3 * x + c] = sample(in, 3 * x + c, depth);
          break;
        case SANE_FRAME_GRAY: {
          const uchar v = depth == 1 ? ((in[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255) : sample(in, x, depth);
          out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = v;
          break;
        }
        case SANE_FRAME_RED: out[3 * x] = sample(in, x, depth); break;
        case SANE_FRAME_GREEN: out[3 * x + 1] = sample(in, x, depth); break;
        case SANE_FRAME_BLUE: out[3 * x + 2] = sample(in, x, depth); break;
      }
    }
  }
  return SANE_STATUS_GOOD;
}

struct PageRead {
  SANE_Status status = SANE_STATUS_GOOD;
  QImage image;
};

// One page: every frame from sane_start to its end of data. The caller ends the job with
// sane_cancel.
PageRead readPage(SANE_Handle h, JobControl& job) {
  constexpr size_t kMaxFrameBytes = size_t(1) << 31;
  PageRead page;
  std::vector<uchar> data;
  std::vector<uchar> buffer(64 * 1024);
  for (int frame = 0; frame < 3; ++frame) {
    if (job.cancelled) return {SANE_STATUS_CANCELLED, {}};
    SANE_Status status = sane_start(h);
    if (job.cancelled) return {SANE_STATUS_CANCELLED, {}};
    if (status != SANE_STATUS_GOOD) return {status, {}};
    SANE_Parameters p{};
    status = sane_get_parameters(h, &p);
    if (status != SANE_STATUS_GOOD) return {status, {}};
    data.clear();
    bool restored = false;
    try {
      if (p.lines > 0 && p.bytes_per_line > 0)
        data.reserve(std::min(kMaxFrameBytes, size_t(p.lines) * size_t(p.bytes_per_line)));
      for (;;) {
        SANE_Int length = 0;
        status = sane_read(h, buffer.data(), SANE_Int(buffer.size()), &length);
        if (job.cancelled) return {SANE_STATUS_CANCELLED, {}};
        if (status == SANE_STATUS_EOF) break;
        if (status != SANE_STATUS_GOOD) return {status, {}};
        if (length <= 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        if (!restored) {
          // A backend's reader thread (the test backend's) sets SIGTERM to its default action
          // as it starts, which would kill the program mid-scan; it has started once data come.
          restoreTerminationSignals();
          restored = true;
        }
        if (data.size() + size_t(length) > kMaxFrameBytes) return {SANE_STATUS_NO_MEM, {}};
        data.insert(data.end(), buffer.begin(), buffer.begin() + length);
      }
    } catch (const std::bad_alloc&) {
      return {SANE_STATUS_NO_MEM, {}};
    }
    status = addFrame(page.image, p, data);
    if (status != SANE_STATUS_GOOD) return {status, {}};
    if (p.last_frame) return page;
  }
  return {SANE_STATUS_UNSUPPORTED, {}};
}

}  // namespace

class SaneScannerBrowser;

// Everything that touches SANE. Lives on the worker thread; only the worker calls it.
class SaneBackend {
 public:
  explicit SaneBackend(SaneScannerBrowser* home) : home_(home) {}

  void init();
  void shutDown();
  void discover();
  void open(quint64 id, const QString& name);
  void selectUnit(quint64 id, int type);
  void scan(quint64 id, const ScanSettings& settings, const std::shared_ptr<JobControl>& job);
  void overview(quint64 id, int resolution, const std::shared_ptr<JobControl>& job);
  void close(quint64 id);

 private:
  struct OpenDevice {
    SANE_Handle handle = nullptr;
    UnitMap units;
    int type = Flatbed;
  };

  template <typename F>
  void toMain(F&& f);
  template <typename F>
  void toDevice(quint64 id, F&& f);
  FunctionalUnit describe(const OpenDevice& d) const;
  bool chooseUnit(OpenDevice& d, int type);
  void applyDuplex(OpenDevice& d, bool duplex);

  SaneScannerBrowser* home_;
  bool inited_ = false;
  QString initError_;
  std::map<quint64, OpenDevice> open_;
};

// One thread, one queue: every SANE call but sane_cancel happens here, in order.
class SaneWorker {
 public:
  using Task = std::function<void(SaneBackend&)>;
  explicit SaneWorker(SaneScannerBrowser* home) : backend_(home), thread_([this] { run(); }) {}
  ~SaneWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void post(Task task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "zuvo-sane");
    backend_.init();
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) break;  // stopping, and every request taken care of
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task(backend_);
    }
    backend_.shutDown();
  }

  SaneBackend backend_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

// ---------------------------------------------------------------------------------------
// The main thread's side

class SaneScannerDevice final : public ScannerDevice {
 public:
  SaneScannerDevice(SaneScannerBrowser* browser, quint64 id, const DeviceInfo& info, QObject* parent)
      : ScannerDevice(parent), browser_(browser), id_(id), info_(info) {}

  QString name() const override { return info_.name; }
  QString vendor() const override { return info_.vendor; }
  QString model() const override { return info_.model; }
  unsigned type() const override { return kDeviceTypeScanner; }
  bool hasOpenSession() const override { return state_ == Open; }
  void requestOpenSession() override;
  void requestCloseSession() override;
  QList<int> availableFunctionalUnitTypes() const override { return state_ == Open ? types_ : QList<int>(); }
  std::optional<FunctionalUnit> selectedFunctionalUnit() const override {
    return state_ == Open ? unit_ : std::nullopt;
  }
  void requestSelectFunctionalUnit(int type) override;
  void requestOverviewScan(int resolution) override;
  void requestScan(const ScanSettings& settings) override;
  void cancelScan() override {
    if (job_) job_->cancel();
  }

  // Reports from the worker, on the main thread.
  void sessionOpened(const QString& error, const QList<int>& types, const FunctionalUnit& unit);
  void sessionClosed();
  void unitSelected(int type, const QString& error, const std::optional<FunctionalUnit>& unit);
  void pageScanned(const QImage& image, int dpi) { emit didScanPage(image, dpi); }
  void deviceError(const QString& error) { emit didEncounterError(error); }
  void scanCompleted(const QString& error);
  void overviewCompleted(const QImage& image, const QString& error);
  // The browser no longer finds the device: a job in progress ends with an error.
  void removed();
  // The browser is going away: stop what runs.
  void cancelForShutDown() {
    if (job_) job_->cancel();
  }

 private:
  enum State { Closed, Opening, Open, Closing };
  void later(std::function<void()> f) { QTimer::singleShot(0, this, std::move(f)); }
  void endJob();

  SaneScannerBrowser* browser_;
  quint64 id_;
  DeviceInfo info_;
  State state_ = Closed;
  QList<int> types_;
  std::optional<FunctionalUnit> unit_;
  std::shared_ptr<JobControl> job_;
  bool overviewJob_ = false;
  bool gone_ = false;
};

class SaneScannerBrowser final : public ScannerBrowser {
 public:
  explicit SaneScannerBrowser(QObject* parent) : ScannerBrowser(parent) {
    bool expected = false;
    if (gBrowserActive.compare_exchange_strong(expected, true)) {
      worker_ = std::make_unique<SaneWorker>(this);
    } else {
      reportError(QStringLiteral("Scanner browser: SANE serves one browser at a time; this one finds no devices"));
    }
    timer_.setInterval(kRediscoverMs);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { discover(); });
  }

  ~SaneScannerBrowser() override {
    timer_.stop();
    for (SaneScannerDevice* d : std::as_const(byId_)) d->cancelForShutDown();
    if (worker_) {
      worker_.reset();  // runs what is queued, closes every handle, sane_exit
      gBrowserActive = false;
    }
  }

  void start() override {
    if (!worker_ || started_) return;
    started_ = true;
    discover();
    timer_.start();
  }

  void post(SaneWorker::Task task) {
    if (worker_) worker_->post(std::move(task));
  }
  SaneScannerDevice* device(quint64 id) const { return byId_.value(id, nullptr); }
  void jobStarted() { ++jobs_; }
  void jobEnded() { jobs_ = std::max(0, jobs_ - 1); }

  // From the worker: the devices SANE lists now (ok false: the list could not be read).
  void devicesFound(bool ok, const QList<DeviceInfo>& found) {
    discovering_ = false;
    if (!ok) return;
    QStringList names;
    for (const DeviceInfo& info : found) names.append(info.name);
    QList<SaneScannerDevice*> gone;
    for (auto it = byName_.cbegin(); it != byName_.cend(); ++it)
      if (!names.contains(it.key())) gone.append(it.value());
    QList<SaneScannerDevice*> added;
    for (const DeviceInfo& info : found) {
      if (byName_.contains(info.name)) continue;
      auto* d = new SaneScannerDevice(this, nextId_++, info, this);
      byName_.insert(info.name, d);
      byId_.insert(nextId_ - 1, d);
      added.append(d);
    }
    for (int i = 0; i < gone.size(); ++i) {
      SaneScannerDevice* d = gone[i];
      byName_.remove(d->name());
      byId_.remove(byId_.key(d));
      d->removed();
      emit didRemoveDevice(d, i + 1 < gone.size());
      d->deleteLater();
    }
    for (int i = 0; i < added.size(); ++i) emit didAddDevice(added[i], i + 1 < added.size());
  }

 private:
  void discover() {
    if (discovering_ || jobs_ > 0) return;  // a scan is never held up by a device search
    discovering_ = true;
    post([](SaneBackend& b) { b.discover(); });
  }

  std::unique_ptr<SaneWorker> worker_;
  QTimer timer_;
  QHash<QString, SaneScannerDevice*> byName_;
  QHash<quint64, SaneScannerDevice*> byId_;
  quint64 nextId_ = 1;
  int jobs_ = 0;
  bool discovering_ = false;
  bool started_ = false;
};

// ---------------------------------------------------------------------------------------
// SaneScannerDevice

void SaneScannerDevice::requestOpenSession() {
  if (gone_ || state_ == Open || state_ == Opening) return;
  state_ = Opening;
  const quint64 id = id_;
  const QString name = info_.name;
  browser_->post([id, name](SaneBackend& b) { b.open(id, name); });
}

void SaneScannerDevice::requestCloseSession() {
  if (gone_ || (state_ != Open && state_ != Opening)) return;
  state_ = Closing;
  if (job_) job_->cancel();
  const quint64 id = id_;
  browser_->post([id](SaneBackend& b) { b.close(id); });
}

void SaneScannerDevice::sessionOpened(const QString& error, const QList<int>& types, const FunctionalUnit& unit) {
  const bool wanted = state_ == Opening;
  if (wanted) state_ = error.isEmpty() ? Open : Closed;
  if (state_ == Open && wanted) {
    types_ = types;
    unit_ = unit;
  }
  emit didOpenSession(error);
  if (wanted && state_ == Open) emit didBecomeReady();
}

void SaneScannerDevice::sessionClosed() {
  if (state_ == Closing) state_ = Closed;
  if (state_ == Closed) {
    types_.clear();
    unit_.reset();
  }
  emit didCloseSession(QString());
}

void SaneScannerDevice::requestSelectFunctionalUnit(int type) {
  if (state_ != Open) return later([this, type] { emit didSelectFunctionalUnit(type, kInvalidText); });
  if (job_) return later([this, type] { emit didSelectFunctionalUnit(type, kBusyText); });
  const quint64 id = id_;
  browser_->post([id, type](SaneBackend& b) { b.selectUnit(id, type); });
}

void SaneScannerDevice::unitSelected(int type, const QString& error, const std::optional<FunctionalUnit>& unit) {
  if (state_ == Open && unit) unit_ = unit;
  emit didSelectFunctionalUnit(type, error);
}

void SaneScannerDevice::requestScan(const ScanSettings& settings) {
  if (job_) return;  // one job at a time; the window cancels the running one first
  if (state_ != Open || !unit_) return later([this] { emit didCompleteScan(kInvalidText); });
  job_ = std::make_shared<JobControl>();
  overviewJob_ = false;
  unit_->scanInProgress = true;
  browser_->jobStarted();
  const quint64 id = id_;
  auto job = job_;
  browser_->post([id, settings, job](SaneBackend& b) { b.scan(id, settings, job); });
}

void SaneScannerDevice::requestOverviewScan(int resolution) {
  if (job_) return;
  if (state_ != Open || !unit_) return later([this] { emit didCompleteOverviewScan(QImage(), kInvalidText); });
  job_ = std::make_shared<JobControl>();
  overviewJob_ = true;
  unit_->overviewScanInProgress = true;
  browser_->jobStarted();
  const quint64 id = id_;
  auto job = job_;
  browser_->post([id, resolution, job](SaneBackend& b) { b.overview(id, resolution, job); });
}

void SaneScannerDevice::endJob() {
  if (!job_) return;
  job_.reset();
  // A backend's reader thread may have set SIGTERM back to its default action.
  restoreTerminationSignals();
  if (unit_) unit_->scanInProgress = unit_->overviewScanInProgress = false;
  browser_->jobEnded();
}

void SaneScannerDevice::scanCompleted(const QString& error) {
  endJob();
  emit didCompleteScan(error);
}

void SaneScannerDevice::overviewCompleted(const QImage& image, const QString& error) {
  endJob();
  emit didCompleteOverviewScan(image, error);
}

void SaneScannerDevice::removed() {
  gone_ = true;
  if (job_) {
    job_->cancel();
    const bool overview = overviewJob_;
    endJob();
    emit didEncounterError(kDeviceGoneText);
    if (overview) emit didCompleteOverviewScan(QImage(), kDeviceGoneText);
    else emit didCompleteScan(kDeviceGoneText);
  }
  if (state_ != Closed) {
    state_ = Closed;
    const quint64 id = id_;
    browser_->post([id](SaneBackend& b) { b.close(id); });
  }
  emit didRemoveDevice();
}

// ---------------------------------------------------------------------------------------
// SaneBackend (worker thread)

template <typename F>
void SaneBackend::toMain(F&& f) {
  QMetaObject::invokeMethod(home_, std::forward<F>(f), Qt::QueuedConnection);
}

template <typename F>
void SaneBackend::toDevice(quint64 id, F&& f) {
  SaneScannerBrowser* home = home_;
  toMain([home, id, f = std::forward<F>(f)]() {
    if (SaneScannerDevice* d = home->device(id)) f(d);  // a device removed meanwhile hears nothing
  });
}

void SaneBackend::init() {
  SANE_Int version = 0;
  const SANE_Status status = sane_init(&version, nullptr);
  inited_ = status == SANE_STATUS_GOOD;
  if (!inited_) {
    initError_ = statusText(status);
    reportError(QStringLiteral("Scanner access could not start: %1").arg(initError_));
  }
}

void SaneBackend::shutDown() {
  for (auto& [id, d] : open_) {
    sane_close(d.handle);
    --gOpenHandles;
  }
  open_.clear();
  if (inited_) sane_exit();
  inited_ = false;
}

void SaneBackend::discover() {
  QList<DeviceInfo> found;
  bool ok = false;
  const SANE_Device** list = nullptr;
  if (inited_ && sane_get_devices(&list, SANE_FALSE) == SANE_STATUS_GOOD && list) {
    ok = true;
    for (const SANE_Device** d = list; *d; ++d) {
      if (!(*d)->name || !*(*d)->name || isCameraType(text((*d)->type))) continue;
      found.append(DeviceInfo{text((*d)->name), text((*d)->vendor), text((*d)->model)});
    }
  }
  SaneScannerBrowser* home = home_;
  toMain([home, ok, found] { home->devicesFound(ok, found); });
}

FunctionalUnit SaneBackend::describe(const OpenDevice& d) const {
  FunctionalUnit unit;
  unit.type = d.type;
  unit.canPerformOverviewScan = d.type != DocumentFeeder;
  unit.supportedResolutions = supportedResolutions(resolutionConstraint(d.handle));
  const auto x = geometrySpan(d.handle, SANE_NAME_SCAN_BR_X), y = geometrySpan(d.handle, SANE_NAME_SCAN_BR_Y);
  if (x && y) unit.physicalSize = QSizeF((x->max - x->min) / 25.4, (y->max - y->min) / 25.4);
  unit.supportsDuplexScanning = d.type == DocumentFeeder && d.units.supportsDuplex();
  return unit;
}

bool SaneBackend::chooseUnit(OpenDevice& d, int type) {
  if (!d.units.types.contains(type)) return false;
  const QString value = d.units.sourceForType.value(type);
  if (!value.isEmpty() && getString(d.handle, SANE_NAME_SCAN_SOURCE) != value &&
      !setString(d.handle, SANE_NAME_SCAN_SOURCE, value))
    return false;
  d.type = type;
  return true;
}

void SaneBackend::open(quint64 id, const QString& name) {
  if (open_.count(id)) {  // already open (a close and an open crossed): report it as it is
    const FunctionalUnit unit = describe(open_[id]);
    const QList<int> types = open_[id].units.types;
    toDevice(id, [types, unit](SaneScannerDevice* d) { d->sessionOpened(QString(), types, unit); });
    return;
  }
  SANE_Handle handle = nullptr;
  const SANE_Status status = inited_ ? sane_open(name.toUtf8().constData(), &handle) : SANE_STATUS_INVAL;
  if (status != SANE_STATUS_GOOD || !handle) {
    const QString error = inited_ ? statusText(status) : initError_;
    toDevice(id, [error](SaneScannerDevice* d) { d->sessionOpened(error, {}, {}); });
    return;
  }
  ++gOpenHandles;
  OpenDevice d;
  d.handle = handle;
  SourceOptions options;
  if (const Option source = findOption(handle, SANE_NAME_SCAN_SOURCE); source && source.d->type == SANE_TYPE_STRING)
    options.source = stringList(source);
  options.adfMode = stringList(findOption(handle, "adf-mode"));
  const Option duplex = findOption(handle, "duplex");
  options.duplexOption = duplex && duplex.d->type == SANE_TYPE_BOOL && SANE_OPTION_IS_SETTABLE(duplex.d->cap);
  d.units = mapFunctionalUnits(options);
  // Start with the unit the device has chosen, when it is one of ours.
  const std::optional<QString> current = getString(handle, SANE_NAME_SCAN_SOURCE);
  int type = current ? unitTypeOfSource(*current) : -1;
  if (!d.units.types.contains(type)) type = d.units.types.first();
  if (!chooseUnit(d, type)) d.type = type;
  const FunctionalUnit unit = describe(d);
  const QList<int> types = d.units.types;
  open_[id] = d;
  toDevice(id, [types, unit](SaneScannerDevice* dev) { dev->sessionOpened(QString(), types, unit); });
}

void SaneBackend::selectUnit(quint64 id, int type) {
  auto it = open_.find(id);
  if (it == open_.end() || !chooseUnit(it->second, type)) {
    toDevice(id, [type](SaneScannerDevice* d) { d->unitSelected(type, kInvalidText, std::nullopt); });
    return;
  }
  const FunctionalUnit unit = describe(it->second);
  toDevice(id, [type, unit](SaneScannerDevice* d) { d->unitSelected(type, QString(), unit); });
}

void SaneBackend::applyDuplex(OpenDevice& d, bool duplex) {
  const UnitMap& m = d.units;
  if (!m.duplexSource.isEmpty())
    setString(d.handle, SANE_NAME_SCAN_SOURCE, duplex ? m.duplexSource : m.sourceForType.value(DocumentFeeder));
  if (!m.adfModeDuplex.isEmpty() && (duplex || !m.adfModeSimplex.isEmpty()))
    setString(d.handle, "adf-mode", duplex ? m.adfModeDuplex : m.adfModeSimplex);
  if (m.duplexOption) setBool(d.handle, "duplex", duplex);
}

void SaneBackend::scan(quint64 id, const ScanSettings& settings, const std::shared_ptr<JobControl>& job) {
  auto it = open_.find(id);
  if (it == open_.end()) {
    toDevice(id, [](SaneScannerDevice* d) { d->scanCompleted(kInvalidText); });
    return;
  }
  OpenDevice& d = it->second;
  const SANE_Handle h = d.handle;
  const bool feeder = d.type == DocumentFeeder;
  if (feeder && settings.duplexScanningEnabled && d.units.supportsDuplex())
    applyDuplex(d, *settings.duplexScanningEnabled);
  setMode(h, settings.pixelDataType);
  setNumber(h, SANE_NAME_BIT_DEPTH, settings.bitDepth);
  if (settings.resolution > 0) setNumber(h, SANE_NAME_SCAN_RESOLUTION, settings.resolution);
  if (settings.scanArea) {
    const QRectF& a = *settings.scanArea;
    const double mm = settings.measurementUnit == 0 ? 25.4 : 1.0;  // inches unless told otherwise
    setArea(h, a.left() * mm, a.top() * mm, a.right() * mm, a.bottom() * mm);
  } else if (settings.documentType == 1) {
    setArea(h, 0, 0, 210.0, 297.0);  // A4
  }
  const int dpi = int(std::lround(getNumber(h, SANE_NAME_SCAN_RESOLUTION).value_or(0)));

  {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->scanning = h;
  }
  QString error;
  int pages = 0;
  for (;;) {
    const PageRead page = readPage(h, *job);
    if (page.status == SANE_STATUS_CANCELLED || job->cancelled) {
      error = statusText(SANE_STATUS_CANCELLED);
      break;
    }
    if (page.status == SANE_STATUS_NO_DOCS) {
      if (pages == 0) error = kFeederEmptyText;  // nothing scanned at all is an error
      break;
    }
    if (page.status != SANE_STATUS_GOOD) {
      error = statusText(page.status);
      break;
    }
    ++pages;
    const QImage image = page.image;
    toDevice(id, [image, dpi](SaneScannerDevice* dev) { dev->pageScanned(image, dpi); });
    if (!feeder) break;
  }
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    sane_cancel(h);  // ends the job, also for a feeder that ran out of pages
    job->scanning = nullptr;
  }
  const bool deviceError = !error.isEmpty() && !job->cancelled;
  toDevice(id, [error, deviceError](SaneScannerDevice* dev) {
    if (deviceError) dev->deviceError(error);
    dev->scanCompleted(error);
  });
}

void SaneBackend::overview(quint64 id, int resolution, const std::shared_ptr<JobControl>& job) {
  auto it = open_.find(id);
  if (it == open_.end() || it->second.type == DocumentFeeder) {
    const QString error = it == open_.end() ? QString(kInvalidText) : statusText(SANE_STATUS_UNSUPPORTED);
    toDevice(id, [error](SaneScannerDevice* d) { d->overviewCompleted(QImage(), error); });
    return;
  }
  const SANE_Handle h = it->second.handle;
  setMode(h, 2);
  setNumber(h, SANE_NAME_BIT_DEPTH, 8);
  if (resolution > 0) setNumber(h, SANE_NAME_SCAN_RESOLUTION, resolution);
  setWholeArea(h);
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->scanning = h;
  }
  const PageRead page = readPage(h, *job);
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    sane_cancel(h);
    job->scanning = nullptr;
  }
  QString error;
  if (page.status == SANE_STATUS_CANCELLED || job->cancelled) error = statusText(SANE_STATUS_CANCELLED);
  else if (page.status != SANE_STATUS_GOOD) error = statusText(page.status);
  const QImage image = error.isEmpty() ? page.image : QImage();
  const bool deviceError = !error.isEmpty() && !job->cancelled;
  toDevice(id, [image, error, deviceError](SaneScannerDevice* d) {
    if (deviceError) d->deviceError(error);
    d->overviewCompleted(image, error);
  });
}

void SaneBackend::close(quint64 id) {
  auto it = open_.find(id);
  if (it != open_.end()) {
    sane_close(it->second.handle);
    --gOpenHandles;
    open_.erase(it);
  }
  toDevice(id, [](SaneScannerDevice* d) { d->sessionClosed(); });
}

int openSaneHandleCount() { return gOpenHandles.load(); }

std::unique_ptr<ScannerBrowser> makeSaneScannerBrowser(QObject* parent) {
  return std::make_unique<SaneScannerBrowser>(parent);
}

}  // namespace zuvo::scan
