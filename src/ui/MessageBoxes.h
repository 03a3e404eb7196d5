#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace korvane {

// Every message box and prompt of the program goes through here, so that tests (and the
// single-instance check of a scripted run) can answer them instead of a person.
class MessageBoxes {
public:
    // Information icon, one OK button, title "Korvane".
    static void information(QWidget* parent, const QString& text);
    // The same box, returning at once: what is running (a send, its deadlines) goes on while
    // it is open, instead of waiting under the box's own event loop.
    static void notice(QWidget* parent, const QString& text);
    // A prompt box; "" when cancelled.
    static QString prompt(QWidget* parent, const QString& text, const QString& title,
                          const QString& defaultValue);

    // Test seam: while set, boxes are not shown; information() records its text and prompt()
    // takes the next queued answer (the default value when none is queued).
    struct Answers {
        QStringList shown;
        QStringList promptAnswers;
        QStringList prompts;
        std::function<void(const QString&)> onInformation;
    };
    static void setAnswers(Answers* answers);
    // Scripted runs (tests, the headless demo): every box's text printed to standard output
    // and answered OK.
    static void printInstead();

private:
    static Answers* answers_;
};

}  // namespace korvane
