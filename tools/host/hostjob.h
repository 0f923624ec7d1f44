#ifndef HOSTJOB_H
#define HOSTJOB_H

#include "job/ktcutjob.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QPointF>
#include <QSizeF>
#include <QString>

#include <memory>

// How every job of a run is read and placed (--plot-area, --scale, --rotate,
// --mirror, --origin, --fit, --as-is, --drop-labels), set once from the
// command line before any job is loaded.
struct HostJobSettings
{
    QSizeF plotArea;
    double scale = 1.0;
    int rotation = 0;
    bool mirrored = false;
    bool hasOrigin = false;
    QPointF origin;
    QSizeF fit;
    bool asIs = false;
    bool dropLabels = false;
};

// A cut job read from its file and checked, before any connection, for what
// the machine would misread.
struct HostJob
{
    std::unique_ptr<KTCutJob> job;

    // False (and error) when the file cannot be read at all.
    bool load(const QString &file, QString *error);
    QString path() const { return job->fileName(); }
    // Why the machine would misread the job, in one line; empty when it would not.
    QString refusal() const { return job->refusal(); }
    // The job as the text the plug-in takes, or a null text and the reason.
    QString text(QString *error) const { return job->cutText(error); }

    static HostJobSettings settings;
    // Takes the job options from the command line into settings: empty, or
    // the usage failure in one line.
    static QString configure(const QCommandLineParser &parser, const QString &command);
    // Whether the command reads job files (and so wants fonts and painting).
    static bool readsJobs(const QString &command, const QCommandLineParser &parser);
};

// WIDTHxHEIGHT in mm (e.g. 420x297) as an area; false when it is not one.
bool parseSizeMm(const QString &text, QSizeF *area);
// X,Y in mm; false when it is not a point.
bool parsePointMm(const QString &text, QPointF *point);

#endif // HOSTJOB_H
