#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>

namespace agent_testing {

// Selects the address-record form of a Publication.
struct AddressRecord {};

// An avahi-publish process: an engine-like service ("_http._tcp", subtype "_ravenna"), or an
// address record of a host name. Withdrawn on destruction.
class Publication {
 public:
  // host: the host name the service points to; empty for this host.
  Publication(const std::string& name, uint16_t port, bool master, const std::string& host = "") {
    QStringList arguments{"-s", QString::fromStdString(name), "_http._tcp", QString::number(port)};
    if (master) arguments << "master:1";
    arguments << "--subtype=_ravenna._sub._http._tcp";
    if (!host.empty()) arguments << "-H" << QString::fromStdString(host);
    start(arguments);
  }
  // The host name's address record ("avahi-publish -a -R").
  Publication(AddressRecord, const std::string& host, const std::string& ip) {
    start({"-a", "-R", QString::fromStdString(host), QString::fromStdString(ip)});
  }

  Publication(const Publication&) = delete;
  Publication& operator=(const Publication&) = delete;
  ~Publication() { withdraw(); }

  // Publishes again (avahi-publish ends with its daemon): after a restart of avahi-daemon.
  void republish() {
    withdraw();
    start(arguments_);
  }

  void withdraw() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
      process_.kill();
      process_.waitForFinished(3000);
    }
  }

 private:
  void start(const QStringList& arguments) {
    arguments_ = arguments;
    process_.start("avahi-publish", arguments);
    process_.waitForStarted(3000);
  }

  QStringList arguments_;
  QProcess process_;
};

}  // namespace agent_testing
