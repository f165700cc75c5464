#include "agent/src/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace lmr {
namespace {

QCommandLineOption valueOption(const char* name) {
  const QString text = QString::fromLatin1(name);
  return QCommandLineOption(text, QString(), text, QString());
}

// QString::toInt gives 0 for anything that is not an int, out-of-range numbers included.
int intValue(const QCommandLineParser& parser, const QCommandLineOption& option) {
  return parser.value(option).toInt();
}

}  // namespace

bool CommandLine::parse(const QStringList& arguments, QString& error) {
  QCommandLineParser parser;
  const QCommandLineOption serverOption = valueOption("server");
  const QCommandLineOption serverdOption = valueOption("serverd");
  const QCommandLineOption masterOption = valueOption("master");
  const QCommandLineOption apidOption = valueOption("apid");
  parser.addOption(serverOption);
  parser.addOption(serverdOption);
  parser.addOption(masterOption);
  parser.addOption(apidOption);
  if (!parser.parse(arguments)) {
    error = parser.errorText();
    return false;
  }
  if (parser.isSet(serverOption)) {
    server = intValue(parser, serverOption) != 0;
  } else if (parser.isSet(serverdOption)) {
    serverd = intValue(parser, serverdOption) != 0;
  }
  if (parser.isSet(masterOption)) {
    master = intValue(parser, masterOption) != 0;
  }
  if (parser.isSet(apidOption)) {
    apid = intValue(parser, apidOption);
  }
  return true;
}

}  // namespace lmr
