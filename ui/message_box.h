#pragma once
// The program's message boxes: the framework's (caption the application name, exclamation
// icon) and the dialogs' own error boxes (caption "Error", stop icon), OK only.

#include <QString>

class QWidget;

void AfxMessageBox(int stringId);
void ErrorBox(QWidget* parent, const QString& text);
