#include "bridge_server/ViewControllers/BridgeDispatcher.h"
#include "bridge_server/ViewControllers/MyHTTPConnection.h"

#include "Deployment.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace zuvo::bridge;
using Kind = BridgeAction::Kind;

namespace {

// One action as text: "scanner [args]", "recorder [args]", "notify [[key, value], ...]",
// with " !" appended when the action is refused with an error line.
QString render(const BridgeAction& a) {
  QJsonArray items;
  if (a.kind == Kind::PostNotification) {
    for (const auto& [k, v] : a.userInfo) items.append(QJsonArray{k, v});
  } else {
    items = QJsonArray::fromStringList(a.arguments);
  }
  const char* kind = a.kind == Kind::LaunchScanner    ? "scanner "
                     : a.kind == Kind::LaunchRecorder ? "recorder "
                     : a.kind == Kind::Refused        ? "refused "
                                                      : "notify ";
  return kind + QString::fromUtf8(QJsonDocument(items).toJson(QJsonDocument::Compact)) +
         (a.errorLine.isEmpty() ? "" : " !");
}

struct Case {
  const char* method;
  const char* target;
  QByteArray body;
  int status;
  QStringList actions;
  QStringList infoLines = {};
};

const QByteArray kScanBody =
    R"({"Token":"tok","UploadURL":"https://d.test/up","QuickPrint":"true","PatientId":7,"PatientName":"Ann","PatientDOB":"1970-01-01"})";

}  // namespace

TEST(BridgeDispatcher, QueryWalk) {
  const Case cases[] = {
      {"GET", "/anything?application=CheckScan", {}, 200, {}},
      {"HEAD", "/?application=CheckScan", {}, 200, {}},
      {"GET", "/?application=ScanSettings&application=CheckScan", {}, 200, {R"(scanner ["ScanSettings"])"},
       {"Request received for ScanSettings"}},
      {"GET", "/?application=CheckScan&application=ScanSettings", {}, 200, {}},
      {"GET", "/?x=1&application=ScanSettings", {}, 404, {R"(scanner ["ScanSettings"])"}},
      {"GET", "/?application=scansettings", {}, 404, {"refused [] !"}},
      {"GET", "/?application=Scan%53ettings", {}, 404, {R"(scanner ["ScanSettings"])"}},
      {"GET", "/?%61pplication=ScanSettings", {}, 404, {R"(scanner ["ScanSettings"])"}},
      {"GET", "/?application=x=ScanSettings", {}, 404, {R"(scanner ["ScanSettings"])"}},
      {"GET", "/?application", {}, 404, {"refused [] !"}},
      {"GET", "/?application=", {}, 404, {"refused [] !"}},
      {"GET", "/?application=Scan+Settings", {}, 404, {"refused [] !"}},
      {"GET", "/?application=Scan%5Settings", {}, 404, {"refused [] !"}},
      {"GET", "/?application=ScanSettings%", {}, 404, {"refused [] !"}},
      {"GET", "/?application=%FF", {}, 404, {"refused [] !"}},
      {"GET", "/?appl%ZZication=ScanSettings", {}, 404, {"refused [] !"}},
      {"GET", "/?application=CheckScan%00", {}, 404, {"refused [] !"}},
      // No "?" at all, or no application named: nothing to do but the error line.
      {"GET", "/application=CheckScan", {}, 404, {"refused [] !"}},
      {"GET", "", {}, 404, {"refused [] !"}},
      {"GET", "?", {}, 404, {"refused [] !"}},
      {"GET", "/?&&=&", {}, 404, {"refused [] !"}},
      // Only the text up to a second "?" is the query.
      {"GET", "/?x?application=CheckScan", {}, 404, {"refused [] !"}},
      {"GET", "/?application=ScanSettings?application=CheckScan", {}, 404, {R"(scanner ["ScanSettings"])"}},
      // Several requests act in query order.
      {"POST", "/?application=ScanSettings&application=Dictator&application=ScanSettings",
       R"({"Token":"t"})", 404,
       {R"(scanner ["ScanSettings"])", R"(recorder ["Dictator","t"])", R"(scanner ["ScanSettings"])"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const BridgeReply reply = dispatchBridgeRequest(c.method, c.target, c.body);
    EXPECT_EQ(reply.status, c.status);
    QStringList actions;
    for (const BridgeAction& a : reply.actions) actions << render(a);
    EXPECT_EQ(actions, c.actions);
    if (c.status == 200) {
      const QJsonObject o = QJsonDocument::fromJson(reply.body).object();
      EXPECT_EQ(o, (QJsonObject{{"response_type", "CheckScan"}, {"success", "true"}, {"message", ""}}));
    } else {
      EXPECT_TRUE(reply.body.isEmpty());
    }
  }
}

TEST(BridgeDispatcher, RequestBodies) {
  const Case cases[] = {
      {"POST", "/?application=ScanDoc", kScanBody, 404,
       {R"(scanner ["ScanDoc","tok","https://d.test/up","true","7","Ann","1970-01-01"])"},
       {"Request received for ScanDoc with token : tok"}},
      {"POST", "/?application=ScanDoc", R"({"Token":"tok","PatientId":"p"})", 404, {R"(scanner ["ScanDoc","tok"])"}},
      {"POST", "/?application=ScanDoc", R"({"UploadURL":"u"})", 404, {R"(scanner ["ScanDoc"])"},
       {"Request received for ScanDoc with token : (null)"}},
      {"POST", "/?application=ScanDoc", R"({"Token":"t","UploadURL":"u","PatientId":"p","PatientName":null,"PatientDOB":null})",
       404, {R"(scanner ["ScanDoc","t","u","false","p","",""])"}},
      {"POST", "/?application=ScanDoc", R"({"Token":"t","UploadURL":"u","QuickPrint":1})", 404,
       {R"j(scanner ["ScanDoc","t","u","true","(null)"])j"}},
      // ScanDoc passes the empty text for a null PatientId; the recorder keeps "<null>".
      {"POST", "/?application=ScanDoc", R"({"Token":"t","UploadURL":"u","QuickPrint":"no","PatientId":null,"PatientName":"N"})",
       404, {R"(scanner ["ScanDoc","t","u","false","","N"])"}},
      {"POST", "/?application=ScanDoc", R"({"Token":12,"UploadURL":"u","PatientId":true})", 404,
       {R"(scanner ["ScanDoc","12","u","false","1"])"}},
      {"POST", "/?application=Dictator", R"({"Token":"t","UploadURL":"u","PatientId":null,"PatientName":"N","PatientDOB":"D"})",
       404, {R"(recorder ["Dictator","t","u","<null>","N","D"])"}, {"Request received for Dictator with token : t"}},
      {"POST", "/?application=Dictator", R"({"Token":"t","UploadURL":"u","PatientName":null})", 404,
       {R"j(recorder ["Dictator","t","u","(null)",""])j"}},
      {"POST", "/?application=DownloadDictation",
       R"({"Token":"t","UploadURL":"u","DownloadURL":"d","Durations":"12","PatientId":3,"PatientName":"N","PatientDOB":null})",
       404, {R"(recorder ["DownloadDictation","t","u","d","12","3","N",""])"},
       {"Request received for DownloadDictation with token : t"}},
      {"POST", "/?application=DownloadDictation", R"({"Token":"t","UploadURL":"u","Durations":"12"})", 404,
       {R"(recorder ["DownloadDictation","t","u"])"}},
      {"POST", "/?application=DownloadDoc",
       R"({"BaseURL":"b/","agrs":"a","PlaceHolderPath":"p","is_new":"0","XMLPath":"x","is_template":true})", 404,
       {R"(notify [["action","Template"],["upload_url","b/"],["download_url","a"],["placeholder_url","p"],["is_new_doc","0"],["xml_path","x"]])"},
       {"Request received for Template"}},
      {"POST", "/?application=DownloadDoc", R"({"BaseURL":"b/","PlaceHolderPath":"p","is_template":"no"})", 404,
       {R"(notify [["action","DownloadDoc"],["upload_url","b/"]])"}, {"Request received for DownloadDoc"}},
      {"POST", "/?application=DownloadDoc", R"({"BaseURL":null,"agrs":5,"PlaceHolderPath":[1]})", 404,
       {R"(notify [["action","DownloadDoc"],["upload_url",null],["download_url",5],["placeholder_url",[1]]])"}},
      {"POST", "/?application=PrintDoc", R"({"file_path":["https://d.test/1","https://d.test/2"]})", 404,
       {R"(notify [["action","PrintDoc"],["file_path",["https://d.test/1","https://d.test/2"]]])"},
       {"Request received for PrintDoc"}},
      {"POST", "/?application=PrintDoc", "{}", 404, {R"(notify [["action","PrintDoc"]])"}},
      // ScanSettings never reads the body.
      {"POST", "/?application=ScanSettings", "not json", 404, {R"(scanner ["ScanSettings"])"}},
      // Bodies that cannot be used: the request is skipped with an error line.
      {"POST", "/?application=ScanDoc", "not json", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=ScanDoc", "", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=DownloadDoc", "[1,2]", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=PrintDoc", "\"text\"", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=ScanDoc", R"({"Token":"t"} trailing)", 404, {"refused [] !"}, {""}},
      // Values of the wrong type where a text is passed.
      {"POST", "/?application=ScanDoc", R"({"Token":true})", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=ScanDoc", R"({"Token":null})", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=Dictator", R"({"Token":"t","UploadURL":{"a":1}})", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=DownloadDictation", R"({"Token":"t","UploadURL":"u","DownloadURL":["d"]})", 404, {"refused [] !"}, {""}},
      // A body is read for POST only.
      {"GET", "/?application=ScanDoc", kScanBody, 404, {"refused [] !"}, {""}},
      {"HEAD", "/?application=DownloadDoc", R"({"BaseURL":"b"})", 404, {"refused [] !"}, {""}},
      // Bodies nested deeper than 8 levels or with more than 10,000 values are refused with
      // an error line, whatever the request.
      {"POST", "/?application=PrintDoc", R"({"file_path":[[[[[[["a"]]]]]]]})", 404,
       {R"(notify [["action","PrintDoc"],["file_path",[[[[[[["a"]]]]]]]]])"}},
      {"POST", "/?application=PrintDoc", R"({"file_path":[[[[[[[["a"]]]]]]]]})", 404, {"refused [] !"}, {""}},
      {"POST", "/?application=DownloadDoc", R"({"BaseURL":{"a":{"b":{"c":{"d":{"e":{"f":{"g":{}}}}}}}}})", 404,
       {"refused [] !"}, {""}},
      {"POST", "/?application=ScanDoc", R"({"Token":"t","x":)" + QByteArray(200, '[') + QByteArray(200, ']') + "}", 404,
       {"refused [] !"}, {""}},
      // Deeper than the JSON parser itself goes.
      {"POST", "/?application=PrintDoc", R"({"file_path":)" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}", 404,
       {"refused [] !"}, {""}},
      {"POST", "/?application=DownloadDoc", R"({"BaseURL":"b","pad":[)" + QByteArray("0,").repeated(9997) + "0]}", 404,
       {R"(notify [["action","DownloadDoc"],["upload_url","b"]])"}},
      {"POST", "/?application=DownloadDoc", R"({"BaseURL":"b","pad":[)" + QByteArray("0,").repeated(9998) + "0]}", 404,
       {"refused [] !"}, {""}},
      // An argument holding NUL is refused with an error line.
      {"POST", "/?application=ScanDoc", R"({"Token":"a\u0000b"})", 404, {R"j(scanner ["ScanDoc","a\u0000b"] !)j"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body.left(200).toStdString());
    const BridgeReply reply = dispatchBridgeRequest(c.method, c.target, c.body);
    EXPECT_EQ(reply.status, c.status);
    QStringList actions, infoLines;
    for (const BridgeAction& a : reply.actions) {
      actions << render(a);
      infoLines << a.infoLine;
    }
    EXPECT_EQ(actions, c.actions);
    if (!c.infoLines.isEmpty() || c.actions.isEmpty()) {
      EXPECT_EQ(infoLines, c.infoLines);
    }
  }
}

TEST(BridgeDispatcher, TruthAndDescriptions) {
  const std::pair<QJsonValue, bool> truth[] = {
      {true, true},        {false, false},     {1, true},          {0, false},        {0.5, true},
      {-2, true},          {"true", true},     {"Yes", true},      {"t", true},       {"  y", true},
      {"\t+0007", true},   {"-1", true},       {"000", false},     {"0x1", false},    {"false", false},
      {"", false},         {"+", false},       {" no", false},     {"9", true},       {QJsonValue(), false},
      {QJsonValue(QJsonValue::Undefined), false}, {QJsonArray{1}, false}, {QJsonObject{{"a", 1}}, false},
  };
  for (const auto& [value, expected] : truth)
    EXPECT_EQ(readsTrue(value), expected) << QJsonDocument(QJsonArray{value}).toJson().toStdString();

  const std::pair<QJsonValue, const char*> texts[] = {
      {"text", "text"},  {42, "42"},      {-3, "-3"},    {1.5, "1.5"},           {1e20, "100000000000000000000"},
      {true, "1"},       {false, "0"},    {QJsonValue(), "<null>"}, {QJsonValue(QJsonValue::Undefined), "(null)"},
  };
  for (const auto& [value, expected] : texts) EXPECT_EQ(describe(value), expected);
}

TEST(BridgeDispatcher, PercentDecoding) {
  const std::pair<const char*, std::optional<QString>> cases[] = {
      {"Scan%53ettings", "ScanSettings"}, {"a+b", "a+b"},       {"%7e%7E", "~~"},  {"%C3%A9", QString::fromUtf8("é")},
      {"", ""},                           {"%", std::nullopt}, {"%4", std::nullopt}, {"%G1", std::nullopt},
      {"%C3", std::nullopt},              {"%FF%FE", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(percentDecode(text), expected) << text;
}

TEST(BridgeDispatcher, ActionsRunInOrderAndAFailedStartIsAlerted) {
  QStringList journal;
  BridgeServices services;
  services.launch = [&](const QString& program, const QStringList& args, QString* error) {
    journal << "launch " + program + " " + args.join(',');
    if (program == "ZuvoRecorder") {
      *error = "Recorder missing";
      return false;
    }
    return true;
  };
  services.notify = [&](const zuvo::NotificationUserInfo& info) { journal << "notify " + info.first().second.toString(); };
  services.alert = [&](const QString& message) { journal << "alert " + message; };
  const BridgeReply reply = dispatchBridgeRequest(
      "POST", "/?application=Dictator&application=PrintDoc&application=ScanDoc&application=ScanSettings",
      R"({"Token":"a"})");
  performBridgeActions(reply.actions, services);
  // An argument holding NUL is never handed to the launcher.
  performBridgeActions(dispatchBridgeRequest("POST", "/?application=ScanDoc", R"({"Token":"a\u0000"})").actions,
                       services);
  EXPECT_EQ(journal, (QStringList{"launch ZuvoRecorder Dictator,a", "alert Recorder missing", "notify PrintDoc",
                                  "launch ZuvoScanner ScanDoc,a", "launch ZuvoScanner ScanSettings"}));
}

TEST(MyHTTPConnection, TheBodyBelongsToOneRequest) {
  QStringList launches;
  BridgeServices services;
  services.launch = [&](const QString&, const QStringList& args, QString*) {
    launches << args.join(',');
    return true;
  };
  MyHTTPConnection connection(services);
  EXPECT_TRUE(connection.isSecureServer());
  for (const char* m : {"GET", "POST", "HEAD"}) EXPECT_TRUE(connection.supportsMethod(m, "/"));
  for (const char* m : {"OPTIONS", "PUT", "get", "DELETE"}) EXPECT_FALSE(connection.supportsMethod(m, "/"));
  EXPECT_TRUE(connection.expectsRequestBodyFromMethod("POST", "/"));
  EXPECT_FALSE(connection.expectsRequestBodyFromMethod("GET", "/"));

  connection.prepareForBodyWithSize(20);
  connection.processBodyData(R"({"Token":)");
  connection.processBodyData(R"("t"})");
  connection.finishBody();
  EXPECT_EQ(connection.httpResponseForMethod("POST", "/?application=ScanDoc"), nullptr);
  EXPECT_EQ(connection.httpResponseForMethod("GET", "/?application=ScanDoc"), nullptr);
  EXPECT_EQ(connection.httpResponseForMethod("POST", "/?application=ScanDoc"), nullptr);
  EXPECT_EQ(launches, QStringList{"ScanDoc,t"});

  const auto presence = connection.httpResponseForMethod("GET", "/?application=CheckScan");
  ASSERT_NE(presence, nullptr);
  EXPECT_EQ(presence->status, 200);
  EXPECT_EQ(QJsonDocument::fromJson(presence->body).object()["response_type"], "CheckScan");
  EXPECT_TRUE(presence->headers.empty());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(BridgeDispatcher, ReplaysTheFuzzCorpus) {
  const QString dir = zuvo::test::sourcePath("tests/bridge_server/fuzz/corpus");
  const QStringList files = QDir(dir).entryList(QDir::Files);
  EXPECT_FALSE(files.isEmpty());
  for (const QString& f : files) {
    const QByteArray input = zuvo::test::readFile(dir + "/" + f);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.constData()), std::size_t(input.size())), 0);
  }
}

TEST(BridgeDispatcher, ServesOnlyItsOwnHostAndTheAllowedOrigins) {
  const std::string ours = zuvo::deployment::kLocalServerHostName;
  struct Row {
    std::optional<std::string> host;
    std::optional<std::string> origin;
    QStringList allowed;
    int refusal;
  };
  const Row rows[] = {
      {ours, std::nullopt, {}, 0},
      {ours + ":8443", "https://evil.example", {}, 0},  // no origins named: any origin
      {"LOCALHOST", std::nullopt, {}, 0},
      {"127.0.0.1:8443", std::nullopt, {}, 0},
      {"[::1]:8443", std::nullopt, {}, 0},
      {"127.0.0.1:18443", std::nullopt, {}, 0},  // the port the request came in on
      {"127.0.0.1:9999", std::nullopt, {}, 421},
      {"evil.example", std::nullopt, {}, 421},
      {"evil.example:8443", std::nullopt, {}, 421},
      {ours + ".evil.example", std::nullopt, {}, 421},
      {"localhost.", std::nullopt, {}, 421},
      {"[::1]", std::nullopt, {}, 0},
      {"::1", std::nullopt, {}, 421},
      {"", std::nullopt, {}, 421},
      {std::nullopt, std::nullopt, {}, 421},
      {"127.0.0.1:", std::nullopt, {}, 421},
      {ours, "https://app.example", {"https://app.example", "https://b.example:444"}, 0},
      {ours, "HTTPS://APP.example", {"https://app.example"}, 0},
      {ours, "https://b.example:444", {"https://app.example", "https://b.example:444"}, 0},
      {ours, std::nullopt, {"https://app.example"}, 0},
      {ours, "https://evil.example", {"https://app.example"}, 403},
      {ours, "https://app.example.evil", {"https://app.example"}, 403},
      {ours, "null", {"https://app.example"}, 403},
      {"evil.example", "https://app.example", {"https://app.example"}, 421},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.host.value_or("(no host)") + " " + r.origin.value_or("(no origin)"));
    zuvo::http::RequestHead head{"GET", "/?application=CheckScan", std::nullopt, std::nullopt, 18443};
    if (r.host) head.host = *r.host;
    if (r.origin) head.origin = *r.origin;
    EXPECT_EQ(requestRefusal(head, r.allowed), r.refusal);
  }
}

// Every skipped piece and every refused request says why in one line, its values made safe.
TEST(BridgeDispatcher, RefusalsSayWhyInOneSafeLine) {
  const struct {
    const char* method;
    std::string target;
    QByteArray body;
    QStringList lines;
  } pieces[] = {
      {"GET", "/?application=Foo&application=ScanSettings", {}, {"Request skipped: unknown application \"Foo\""}},
      {"GET", "/?application=Scan%0AFoo", {}, {"Request skipped: unknown application \"Scan\\nFoo\""}},
      {"GET", "/?application=%FF", {}, {"Request skipped: unknown application \"%FF\" (not a valid escape of UTF-8)"}},
      {"GET", "/favicon.ico", {}, {"Request skipped: its target names no application: /favicon.ico"}},
      {"GET", "/?x=1&\x01", {}, {"Request skipped: its target names no application: /?x=1&\\u0001"}},
      {"POST", "/?application=ScanDoc&application=Dictator", "[1]",
       {"Request for ScanDoc skipped: its body (3 bytes) is not a JSON object",
        "Request for Dictator skipped: its body (3 bytes) is not a JSON object"}},
      {"GET", "/?application=PrintDoc", {}, {"Request for PrintDoc skipped: it has no body (a JSON object sent by POST)"}},
      {"POST", "/?application=ScanDoc", R"({"Token":"t","UploadURL":false})",
       {"Request for ScanDoc skipped: its value UploadURL is neither a text nor a number"}},
  };
  for (const auto& c : pieces) {
    SCOPED_TRACE(c.target);
    QStringList lines;
    for (const BridgeAction& a : dispatchBridgeRequest(c.method, c.target, c.body).actions)
      if (a.kind == Kind::Refused) lines << a.errorLine;
    EXPECT_EQ(lines, c.lines);
  }

  const std::string flood(3000, 'x');
  const struct {
    int status;
    zuvo::http::RequestHead head;
    QString line;
  } refused[] = {
      {405, {"OPTIONS", "/?application=ScanDoc", "h:8443", "https://app.example", 8443},
       "Request refused (405, only GET, POST and HEAD are served): OPTIONS /?application=ScanDoc, Host h:8443, "
       "Origin https://app.example"},
      {421, {"GET", "/?application=CheckScan", "evil.example\r\nX: y", std::nullopt, 8443},
       "Request refused (421, its Host is not this server): GET /?application=CheckScan, Host evil.example\\r\\nX: y, "
       "Origin (none)"},
      {403, {"POST", "/?application=ScanDoc", "h", "null", 8443},
       "Request refused (403, its Origin is not allowed): POST /?application=ScanDoc, Host h, Origin null"},
      {413, {"POST", "/", "h", std::nullopt, 8443},
       "Request refused (413, its body is larger than 8388608 bytes): POST /, Host h, Origin (none)"},
      {431, {{}, {}, std::nullopt, std::nullopt, 8443}, "Request refused (431, its header is larger than 16384 bytes)"},
      {400, {{}, {}, std::nullopt, std::nullopt, 8443}, "Request refused (400, not a well-formed HTTP request)"},
      {400, {"GET", flood, "h", std::nullopt, 8443},
       "Request refused (400, not a well-formed HTTP request): GET " + QString(1024, 'x') +
           "... (1976 more bytes), Host h, Origin (none)"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.status);
    EXPECT_EQ(refusalLine(r.status, r.head), r.line);
  }
}
