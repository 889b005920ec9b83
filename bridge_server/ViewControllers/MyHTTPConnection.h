// The bridge's connection class: answers the web page's presence check, starts the scanner
// or the recorder, or posts the EditorNotification (see BridgeDispatcher.h).
#pragma once

#include "bridge_server/ViewControllers/BridgeDispatcher.h"
#include "platform/net/HTTPServer.h"

#include <QByteArray>

class MyHTTPConnection : public zuvo::http::HTTPConnection {
 public:
  MyHTTPConnection();
  // For tests: other services than the system's.
  explicit MyHTTPConnection(zuvo::bridge::BridgeServices services);

  bool isSecureServer() override;
  // DDKeychain's identity; when there is none, a new one is made first and the search
  // made again.
  QList<zuvo::keychain::Identity> sslIdentityAndCertificates() override;
  bool supportsMethod(std::string_view method, std::string_view path) override;
  bool expectsRequestBodyFromMethod(std::string_view method, std::string_view path) override;
  // A foreign Host (421) or, where the deployment names origins, a foreign Origin (403).
  int refusalForRequest(const zuvo::http::RequestHead& head) override;
  // One error line for every refused request, the number of lines bounded.
  void requestRefused(int status, const zuvo::http::RequestHead& head) override;
  void prepareForBodyWithSize(std::uint64_t contentLength) override;
  void processBodyData(std::string_view data) override;
  void finishBody() override;
  std::unique_ptr<zuvo::http::HTTPResponse> httpResponseForMethod(std::string_view method,
                                                                  std::string_view uri) override;

  const QByteArray& postData() const { return postData_; }
  void setPostData(const QByteArray& data) { postData_ = data; }

 private:
  zuvo::bridge::BridgeServices services_;
  QByteArray postData_;  // the current request's body; emptied after every request
};
