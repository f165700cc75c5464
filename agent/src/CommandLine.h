#pragma once

#include <QString>
#include <QStringList>

#include <QtGlobal>

namespace lmr {

// The four options of the program's command line, each written "--name value" or "--name=value".
struct CommandLine {
  bool server = false;   // "server": the engine server child of an agent
  bool serverd = false;  // "serverd": the console server; read only when "server" is absent
  bool master = false;
  qint64 apid = 0;  // process id of the agent that started this engine server

  // Each value is read as the int it stands for in base 10; a value that is no int (a text, or a
  // number beyond the int range) counts as 0. False, with error set, for an unknown option or a
  // missing value. Needs no application object, so the role is known before one exists.
  [[nodiscard]] bool parse(const QStringList& arguments, QString& error);

  [[nodiscard]] bool serverRole() const { return server || serverd; }
};

}  // namespace lmr
