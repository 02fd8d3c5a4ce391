#include "ContentView.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kelvane::ContentView view(kelvane::DiagnosticsViewModel::create());
    view.show();
    return app.exec();
}
