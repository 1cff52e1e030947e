#include <QApplication>
#include <QDialog>

// Placeholder until the application object lands.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog w;
    w.setWindowTitle("Trellion");
    w.show();
    return app.exec();
}
