// The smallest Qt Widgets program that shows a window: what any Qt program pays to start on
// this display, for comparison with the utility's start-up.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("vantra-bare-window");
    window.resize(240, 320);
    window.show();
    return app.exec();
}
