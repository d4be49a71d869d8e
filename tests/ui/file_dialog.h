// Chooses a file in the program's open-file dialog once it shows, as an operator would:
// shared by the GUI tests and the benchmarks that send files through the window.
#pragma once
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <string>

namespace kdx::test {

inline void Choose_When_Asked(const std::string& path) {
    auto* driver = new QTimer;
    driver->setInterval(20);
    QObject::connect(driver, &QTimer::timeout, [driver, path] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog || !dialog->isVisible()) continue;
            // Typed into the dialog's file name box, then "Open".
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) continue;
            name->setText(QString::fromLocal8Bit(path.c_str()));
            driver->stop();
            driver->deleteLater();
            static_cast<QDialog*>(dialog)->accept();
            return;
        }
    });
    driver->start();
}

}  // namespace kdx::test
