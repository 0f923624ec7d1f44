#include "job/ktcutjob.h"

#include <QBuffer>
#include <QFile>
#include <QtTest>

#include <cmath>

namespace {

QByteArray sample(const QString &name)
{
    QFile f(QStringLiteral(KT_SOURCE_DIR "/tests/data/hpgl/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Within 0.05 mm, and for long paths a chord's rounding to machine units at
// each of their points.
bool near(double actual, double expected)
{
    return std::fabs(actual - expected) <= 0.05 + 0.0005 * std::fabs(expected);
}

QString figures(const KTCutJob &job)
{
    return QStringLiteral("%1 x %2 mm, %3 mm")
        .arg(job.widthMm(), 0, 'f', 3)
        .arg(job.heightMm(), 0, 'f', 3)
        .arg(job.pathLengthMm(), 0, 'f', 3);
}

} // namespace

class tst_KTCutJob : public QObject
{
    Q_OBJECT

private slots:
    void normalizedJobs_data();
    void normalizedJobs();
    void placement_data();
    void placement();
    void refusals_data();
    void refusals();
    void frameBytesLeftBehind_data();
    void frameBytesLeftBehind();
    void formats_data();
    void formats();
    void labelsDropped_data();
    void labelsDropped();
    void writtenAsMade_data();
    void writtenAsMade();
    void arcsWithinTolerance_data();
    void arcsWithinTolerance();
};

void tst_KTCutJob::normalizedJobs_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("normalized");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("length");

    // What users found: scaling against a landscape plotter's area, PE with
    // a line break inside, an arc under a mirrored axis (100 x 50 mm to an
    // independent HP-GL interpreter), an unquoted comment, NUL padding.
    QTest::newRow("SC without IP") << QByteArray("IN;SC0,100,0,100;PU0,0;PD100,0,100,100,0,100,0,0;") << true
                                   << 259.125 << 199.05 << 916.35;
    QTest::newRow("PE across a line break") << QByteArray("IN;PE7<=__\n?Yf__?\\b@Yf__@\\b;PU;") << true << 100.0
                                            << 50.0 << 300.0;
    QTest::newRow("arc, mirrored axis") << QByteArray("IN;IP0,4000,4000,0;SC0,100,0,100;PA0,50;PD;AA50,50,180;"
                                                      "PA100,0;PU;")
                                        << true << 100.0 << 50.0 << 207.07;
    QTest::newRow("unquoted comment") << QByteArray("IN;CO Concentric circles;PU0,0;PD4000,0;") << true << 100.0
                                      << 0.0 << 100.0;
    QTest::newRow("NUL padding") << QByteArray("IN;\0\0PU0,0;PD4000,0;", 20) << true << 100.0 << 0.0 << 100.0;
    QTest::newRow("plain, sent as it is") << QByteArray("IN;SP1;VS20;PU400,400;PD4400,400,4400,2400;PU;") << false
                                          << 100.0 << 50.0 << 150.0;
    // Real files (see tst_kthpgl for how they were made and measured).
    QTest::newRow("pstoedit pcl") << sample("shapes-pstoedit.pcl") << true << 100.0 << 50.025 << 425.590;
    QTest::newRow("libplot") << sample("shapes-libplot.hpgl") << true << 72.725 << 36.352 << 309.563;
    QTest::newRow("fig2dev mirrored arc") << sample("dome-fig2dev.hpgl") << true << 53.331 << 39.999 << 217.100;
    QTest::newRow("pic2plot") << sample("shapes-pic2plot.hpgl") << true << 25.400 << 31.760 << 156.059;
}

// The job made from the paths measures as the source did, and read back it
// is plain HPGL with the very same paths.
void tst_KTCutJob::normalizedJobs()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, normalized);
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(double, length);
    QVERIFY(!bytes.isEmpty());

    KTCutJob job;
    job.setData(bytes, "job.plt");
    QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
    QCOMPARE(job.isNormalized(), normalized);
    QVERIFY2(near(job.widthMm(), width) && near(job.heightMm(), height) && near(job.pathLengthMm(), length),
             qPrintable(figures(job)));
    if (!normalized) {
        QCOMPARE(job.cutData(), bytes);
        return;
    }
    const QByteArray sent = job.cutData();
    QVERIFY(sent.startsWith("IN;"));
    KTCutJob again;
    again.setData(sent, "again.plt");
    QVERIFY2(again.refusal().isEmpty(), qPrintable(again.refusal()));
    QVERIFY(!again.isNormalized());
    QCOMPARE(figures(again), figures(job));
    QCOMPARE(again.pathCount(), job.pathCount());
    for (int i = 0; i < job.pathCount(); ++i)
        QCOMPARE(again.path(i), job.path(i));
    QString error;
    QCOMPARE(job.cutText(&error).toLatin1(), sent);
}

void tst_KTCutJob::placement_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QRectF>("bounds");
    QTest::addColumn<QPoint>("first");   // the first cut point, machine units

    // A 100 x 50 mm rectangle with its lower-left corner at 10,10 mm,
    // drawn from that corner to the right first.
    QTest::newRow("as drawn") << "" << QRectF(10, 10, 100, 50) << QPoint(400, 400);
    QTest::newRow("rotate 90") << "rotate 90" << QRectF(10, 10, 50, 100) << QPoint(2400, 400);
    QTest::newRow("rotate 180") << "rotate 180" << QRectF(10, 10, 100, 50) << QPoint(4400, 2400);
    QTest::newRow("mirror") << "mirror" << QRectF(10, 10, 100, 50) << QPoint(4400, 400);
    QTest::newRow("scale 2") << "scale 2" << QRectF(10, 10, 200, 100) << QPoint(400, 400);
    QTest::newRow("fit 50x50") << "fit 50x50" << QRectF(10, 10, 50, 25) << QPoint(400, 400);
    QTest::newRow("fit after turning") << "rotate 270 fit 50x50" << QRectF(10, 10, 25, 50) << QPoint(400, 2400);
    QTest::newRow("origin") << "origin 0,5" << QRectF(0, 5, 100, 50) << QPoint(0, 200);
}

void tst_KTCutJob::placement()
{
    QFETCH(QString, how);
    QFETCH(QRectF, bounds);
    QFETCH(QPoint, first);

    KTCutJob job;
    const QStringList words = how.split(' ', Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < words.size(); i += 2) {
        const QString &value = words.at(i + 1);
        if (words.at(i) == "rotate")
            job.setRotation(value.toInt());
        else if (words.at(i) == "scale")
            job.setScale(value.toDouble());
        else if (words.at(i) == "fit")
            job.setFit(QSizeF(value.section('x', 0, 0).toDouble(), value.section('x', 1).toDouble()));
        else if (words.at(i) == "origin")
            job.setOrigin(QPointF(value.section(',', 0, 0).toDouble(), value.section(',', 1).toDouble()));
    }
    if (words.size() == 1)
        job.setMirrored(true);
    job.setData("IN;PU400,400;PD4400,400,4400,2400,400,2400,400,400;PU;", "rect.plt");
    QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
    QCOMPARE(job.isNormalized(), !how.isEmpty());
    QCOMPARE(job.boundsMm(), bounds);
    QCOMPARE(job.path(0).first(), first);
    QVERIFY(near(job.pathLengthMm(), 2 * (bounds.width() + bounds.height())));
}

void tst_KTCutJob::refusals_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("asIs");
    QTest::addColumn<QString>("cause");   // empty: cut

    const QByteArray label("IN;PU0,0;PD400,0;LBText\x03;");
    QTest::newRow("labels, job from paths") << label << false << "a text label, which the job made from the file's "
                                                                 "paths cannot carry; --drop-labels cuts the drawing "
                                                                 "without it; nothing sent";
    QTest::newRow("labels the machine can take") << QByteArray("IN;DT*;PU0,0;LBOne*;LBTwo*;PD400,0;") << false
                                                 << "2 text labels, which the job made from the file's paths cannot "
                                                    "carry; --drop-labels cuts the drawing without them, --as-is "
                                                    "sends the file as it is and the machine draws them";
    QTest::newRow("labels as is") << label << true << "a text label ends with ETX";
    QTest::newRow("NUL as is") << QByteArray("IN;\0PU0,0;PD400,0;", 18) << true
                               << "without --as-is the job made from its paths is sent instead";
    // Errors after more warnings than are listed by offset.
    const QByteArray warned = QByteArray("IN;").append(QByteArray("SC0,0,0,0;").repeated(70));
    QTest::newRow("STX late, as is") << warned + "PU0,0;\x02PD400,0;" << true << "offset 709: control byte 0x02 (STX)";
    QTest::newRow("bad number late") << warned + "PU0,0;PD400,0;PD1e308,0;" << false
                                     << "offset 719: PD has a number that is not finite";
    QTest::newRow("bad number after NUL") << QByteArray("IN;\0PU0,0;PD400,0;PD1e308,0;", 28) << false
                                          << "offset 20: PD has a number that is not finite";
    QTest::newRow("8-bit as is") << QByteArray("IN;CO\"\xff\";PU0,0;PD400,0;") << true << "byte 0xff";
    QTest::newRow("8-bit cut") << QByteArray("IN;CO\"\xff\";PU0,0;PD400,0;") << false << "";
    QTest::newRow("draws nothing") << QByteArray("IN;SC0,10,0,10;PU5,5;") << false << "draws nothing to cut";
    QTest::newRow("not a job") << QByteArray("\x89PNG\r\n") << false << "job files are HPGL, SVG, PDF or DXF";
    QTest::newRow("SVG as is") << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"/>") << true
                               << "SVG files are always sent as the job made from their paths";
}

void tst_KTCutJob::refusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, asIs);
    QFETCH(QString, cause);

    KTCutJob job;
    job.setAsIs(asIs);
    job.setData(bytes, "f.plt");
    if (cause.isEmpty()) {
        QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
        QVERIFY(!job.cutData().isEmpty());
        return;
    }
    QVERIFY2(job.refusal().contains(cause), qPrintable(job.refusal()));
    QVERIFY(job.refusal().startsWith("f.plt: ") && job.refusal().endsWith("; nothing sent"));
    QVERIFY(!job.refusal().contains('\n'));
    QVERIFY(job.cutData().isEmpty());
    QString error;
    QVERIFY(job.cutText(&error).isNull());
    QCOMPARE(error, job.refusal());
}

void tst_KTCutJob::frameBytesLeftBehind_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("warnings");   // the first ones, in order

    QTest::newRow("NUL padding") << QByteArray("IN;\0\0PU0,0;PD4000,0;", 20)
                                 << QStringList{"offset 3: control byte 0x00 (NUL)", "offset 4: control byte 0x00 (NUL)"};
    QTest::newRow("a block of NULs") << QByteArray("IN;").append(QByteArray(500, '\0')).append("PU0,0;PD4000,0;")
                                     << QStringList{"offset 3: control byte 0x00 (NUL)", "offset 4: control byte 0x00 (NUL)",
                                                    "offset 5: control byte 0x00 (NUL)",
                                                    "497 more bytes that would break the frame"};
    QTest::newRow("STX and ETX apart") << QByteArray("IN;\x02PU0,0;PD4000,0;\x03")
                                       << QStringList{"offset 3: control byte 0x02 (STX)",
                                                      "offset 19: control byte 0x03 (ETX)"};
}

// Bytes that would break the frame, found between commands, stay out of the
// job made from the paths: each is said to be skipped, none is an error.
void tst_KTCutJob::frameBytesLeftBehind()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, warnings);

    KTCutJob job;
    job.setData(bytes, "f.plt");
    QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
    QVERIFY(job.isNormalized());
    const QByteArray sent = job.cutData();
    QVERIFY2(sent.startsWith("IN;PU0,0;PD4000,0;"), sent.constData());
    for (const char frameByte : {'\0', '\x02', '\x03'})
        QVERIFY(!sent.contains(frameByte));
    QVERIFY(job.warnings().size() >= warnings.size());
    for (int i = 0; i < warnings.size(); ++i) {
        QVERIFY2(job.warnings().at(i).startsWith(warnings.at(i)) && job.warnings().at(i).endsWith("; skipped"),
                 qPrintable(job.warnings().at(i)));
    }
    const QJsonArray problems = job.facts().value("problems").toArray();
    QVERIFY(!problems.isEmpty());
    for (const QJsonValue &p : problems)
        QVERIFY(!p.toObject().value("error").toBool());
}

void tst_KTCutJob::formats_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("format");

    QTest::newRow("HPGL") << QByteArray("IN;PU0,0;") << int(KTCutJob::Hpgl);
    QTest::newRow("PCL wrapped") << QByteArray("\x1b" "E\x1b%0BIN;") << int(KTCutJob::Hpgl);
    QTest::newRow("SVG with BOM") << QByteArray("\xef\xbb\xbf  <?xml version=\"1.0\"?><svg/>") << int(KTCutJob::Svg);
    QTest::newRow("SVG compressed") << QByteArray("\x1f\x8b\x08\x00") << int(KTCutJob::Svg);
    QTest::newRow("PDF after junk") << QByteArray("junk\n%PDF-1.5\n") << int(KTCutJob::Pdf);
    QTest::newRow("DXF") << QByteArray("  0\r\nSECTION\r\n  2\r\nHEADER\r\n") << int(KTCutJob::Dxf);
    QTest::newRow("DXF comment") << QByteArray("999\nwritten by a program\n") << int(KTCutJob::Dxf);
    QTest::newRow("binary DXF") << QByteArray("AutoCAD Binary DXF\r\n\x1a") << int(KTCutJob::Dxf);
}

void tst_KTCutJob::formats()
{
    QFETCH(QByteArray, head);
    QFETCH(int, format);
    KTCutJob job;
    job.setData(head);
    QCOMPARE(int(job.format()), format);
}

void tst_KTCutJob::labelsDropped_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("sent");   // empty: the job made from the paths

    QTest::newRow("plain once they are out") << QByteArray("IN;PU0,0;LBText\x03;PD400,0;")
                                             << QByteArray("IN;PU0,0;PD400,0;");
    QTest::newRow("scaled") << QByteArray("IN;SC0,10,0,10;PU0,0;LBa\x03;PD10,0;") << QByteArray();
}

void tst_KTCutJob::labelsDropped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, sent);
    KTCutJob job;
    job.setDropLabels(true);
    job.setData(bytes, "labels.plt");
    QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
    QCOMPARE(job.isNormalized(), sent.isEmpty());
    QCOMPARE(job.facts().value("labels_dropped").toInt(), 1);
    if (!sent.isEmpty())
        QCOMPARE(job.cutData(), sent);
    QVERIFY(!job.cutData().contains("LB"));
    QVERIFY(job.pathLengthMm() > 0);
}

void tst_KTCutJob::writtenAsMade_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("refused");

    QByteArray circles = "IN;SP1;VS20;";
    for (int i = 0; i < 800; ++i)
        circles += "PU" + QByteArray::number(i * 97 % 30000) + ",0;CI4000;";
    QByteArray polyline = "IN;PA0,0;PD";
    for (int i = 1; i < 120000; ++i)
        polyline += QByteArray::number(i) + "," + QByteArray::number(i % 2 * 1000000) + ",";
    polyline += "0,0;";

    QTest::newRow("plain, as it is") << QByteArray("IN;PU0,0;PD400,0;") << false;
    QTest::newRow("small job") << QByteArray("IN;PA4000,0;PD;AA0,0,90;") << false;
    QTest::newRow("many runs across chunks") << circles << false;
    QTest::newRow("one run longer than a chunk") << polyline << false;
    QTest::newRow("refused") << QByteArray("IN;PU0,0;LBText\x03;PD400,0;") << true;
}

// Written into a device as it is made, the job is the very bytes held
// whole, and its size is known before either.
void tst_KTCutJob::writtenAsMade()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, refused);

    KTCutJob job;
    job.setData(bytes, "f.plt");
    const qint64 size = job.cutDataSize();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const qint64 written = job.writeCutData(&buffer);
    const QByteArray whole = job.cutData();
    QCOMPARE(written, refused ? qint64(-1) : qint64(whole.size()));
    QCOMPARE(buffer.data(), whole);
    QCOMPARE(size, qint64(whole.size()));
    QCOMPARE(whole.isEmpty(), refused);

    QBuffer closed;   // a device that takes nothing
    if (!refused)
        QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): device not open");
    QCOMPARE(job.writeCutData(&closed), qint64(-1));
}

void tst_KTCutJob::arcsWithinTolerance_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<double>("radius");   // machine units, about 0,0

    QTest::newRow("a 10 mm circle") << QByteArray("IN;PU0,0;CI400;") << 400.0;
    QTest::newRow("a 400 mm circle") << QByteArray("IN;PU0,0;CI16000;") << 16000.0;
    QTest::newRow("a quarter of a 1 m arc") << QByteArray("IN;PU40000,0;PD;AA0,0,90;") << 40000.0;
}

// Chords stay within 0.025 mm of the arc, whatever its radius: each point
// on the circle and each chord's middle no farther inside than that (plus
// the rounding of its ends to whole units).
void tst_KTCutJob::arcsWithinTolerance()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, radius);
    KTCutJob job;
    job.setData(bytes, "arc.plt");
    QVERIFY2(job.refusal().isEmpty(), qPrintable(job.refusal()));
    QCOMPARE(job.pathCount(), 1);
    const QPolygon p = job.path(0);
    QVERIFY(p.size() > 2);
    double worst = 0;
    for (int i = 0; i + 1 < p.size(); ++i) {
        const QPointF a = p[i], b = p[i + 1], mid = (a + b) / 2;
        QVERIFY(std::fabs(std::hypot(a.x(), a.y()) - radius) <= 0.75);
        worst = std::max(worst, radius - std::hypot(mid.x(), mid.y()));
    }
    QVERIFY2(worst <= 1.0 + 0.75, qPrintable(QString::number(worst)));
}

QTEST_MAIN(tst_KTCutJob)
#include "tst_ktcutjob.moc"
