// Saves a PNG of the X display (or of one window) for the desktop tests, which have no other
// screenshot tool. Usage: lumora-screen-grab <file.png> [window id]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: lumora-screen-grab <file.png> [window id]\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  const WId window = argc == 3 ? static_cast<WId>(std::strtoull(argv[2], nullptr, 0)) : 0;
  const QPixmap picture = screen != nullptr ? screen->grabWindow(window) : QPixmap();
  if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "lumora-screen-grab: cannot grab or save %s\n", argv[1]);
    return 1;
  }
  return 0;
}
