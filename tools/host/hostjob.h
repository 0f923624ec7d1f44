#ifndef HOSTJOB_H
#define HOSTJOB_H

#include "job/kthpgl.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// A cut job read from its file and checked, before any connection, for what
// the machine would misread.
struct HostJob
{
    QString path;
    QByteArray bytes;
    KTHpgl::Facts facts;
    int droppedLabels = 0;

    // Reads the file and its facts, without its text labels if asked; with
    // text, also widens it to the plug-in's text on the side meanwhile.
    bool load(const QString &file, bool dropLabels, QString *error, bool text = false);
    // Why the machine would misread the job, in one line; empty when it would not.
    QString refusal() const;
    // The job as the text the plug-in takes (handed over once), or a null
    // text and the reason when the conversion would change a byte.
    QString text(QString *error);
    // TASK_FILE_INFO and the facts behind it, for inspect --json.
    QJsonObject json() const;

    // How every job is read (--plot-area), set once before any is loaded.
    static KTHpgl::Options options;

private:
    QString m_text;   // made while the facts are read, for text()
};

// WIDTHxHEIGHT in mm (e.g. 420x297) as a plotter area; false when it is not one.
bool parsePlotArea(const QString &text, QSizeF *area);

// Offset of the first byte the plug-in's conversions (the local 8-bit text
// for TCP, UTF-8 for USB) would not give back as it is; -1 when there is none.
qint64 firstUnsafeByte(const QByteArray &bytes, qint64 from);

#endif // HOSTJOB_H
