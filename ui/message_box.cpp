#include "ui/message_box.h"

#include "res/strings.h"

#include <QCoreApplication>
#include <QMessageBox>

void AfxMessageBox(int stringId) {
    const char* text = res::LoadString(stringId);
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    QString::fromUtf8(text != nullptr ? text : ""), QMessageBox::Ok);
    box.exec();
}

void ErrorBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok, parent);
    box.exec();
}
