#include "ui/MessageBoxes.h"

#include <cstdio>

#include <QInputDialog>
#include <QMessageBox>

namespace korvane {

MessageBoxes::Answers* MessageBoxes::answers_ = nullptr;

void MessageBoxes::printInstead() {
    static Answers printed;
    printed.onInformation = [](const QString& text) {
        std::printf("Korvane: %s\n", qPrintable(text));
        std::fflush(stdout);
    };
    setAnswers(&printed);
}

void MessageBoxes::setAnswers(Answers* answers) {
    answers_ = answers;
}

void MessageBoxes::information(QWidget* parent, const QString& text) {
    if (answers_ != nullptr) {
        answers_->shown << text;
        if (answers_->onInformation) {
            answers_->onInformation(text);
        }
        return;
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("Korvane"), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

void MessageBoxes::notice(QWidget* parent, const QString& text) {
    if (answers_ != nullptr) {
        information(parent, text);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Korvane"), text,
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

QString MessageBoxes::prompt(QWidget* parent, const QString& text, const QString& title,
                             const QString& defaultValue) {
    if (answers_ != nullptr) {
        answers_->prompts << title;
        return answers_->promptAnswers.isEmpty() ? defaultValue
                                                 : answers_->promptAnswers.takeFirst();
    }
    bool ok = false;
    const QString answer =
        QInputDialog::getText(parent, title, text, QLineEdit::Normal, defaultValue, &ok);
    return ok ? answer : QString();
}

}  // namespace korvane
