#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct Catalogue
{
    QSet<QString> sources;       // "context|source"
    QStringList untranslated;
};

[[maybe_unused]] Catalogue readCatalogue(const QString &path)
{
    Catalogue c;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return c;
    QXmlStreamReader xml(&file);
    QString context, source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
            c.sources.insert(context + '|' + source);
        } else if (xml.name() == QLatin1String("translation")) {
            const bool unfinished = xml.attributes().value("type") == QLatin1String("unfinished");
            if (unfinished || xml.readElementText().isEmpty())
                c.untranslated << context + '|' + source;
        }
    }
    return c;
}

} // namespace

class tst_KTTranslation : public QObject
{
    Q_OBJECT
private slots:
    void labelsFollowTheCatalogue_data();
    void labelsFollowTheCatalogue();
    void catalogueMatchesTheCode();
    void oneCatalogueForAllDevices();
};

void tst_KTTranslation::labelsFollowTheCatalogue_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::newRow("own label") << QByteArray("SP2_SPEED") << "Cutting speed" << "切割速度";
    QTest::newRow("group label") << QByteArray("CAMERA_OFFSET") << "Camera offset" << "摄像头偏移";
    QTest::newRow("info label") << QByteArray("FIRMWARE") << "Firmware version" << "固件版本";
    QTest::newRow("combo items") << QByteArray("FEED_SPEED") << "   Off;   Very slow;   Slow;   Medium;   Fast;   Very fast"
                                 << "   关闭;   很慢;   慢;   中速;   快;   很快";
    QTest::newRow("model name") << QByteArray("DEVICE_MODEL_NAME") << "Desktop label cutter" << "桌面式标签机";
    QTest::newRow("translated unit") << QByteArray("HEARTBEAT") << "s" << "秒";
}

void tst_KTTranslation::labelsFollowTheCatalogue()
{
    QFETCH(QByteArray, key);
    KTMRC600Cam root;
    std::unique_ptr<KTDeviceInterface> d(root.initInstance());
    KTDeviceProperty *p = d->property_ptr(key.constData());
    QVERIFY(p);
    QString text = p->label();
    if (key == "FEED_SPEED")
        text = p->property("WIDGET").toJsonObject().value("option").toString();
    else if (key == "DEVICE_MODEL_NAME")
        text = p->value().toString();
    else if (key == "HEARTBEAT")
        text = p->uint();
#ifdef KT_NO_CATALOGUE
    QTEST(text, "chinese");
#else
    QTEST(text, "english");
#endif
}

void tst_KTTranslation::catalogueMatchesTheCode()
{
#ifdef KT_NO_CATALOGUE
    QSKIP("checked by the build with the catalogue");
#else
    // A text added to the code without a translation fails here.
    QTemporaryDir dir;
    const QString fresh = dir.filePath("fresh.ts");
    QProcess lupdate;
    lupdate.setWorkingDirectory(KT_SOURCE_DIR);
    lupdate.start(KT_LUPDATE, {"-silent", "-no-obsolete", "-locations", "none", "device", "property", "plugin", "models",
                               "cloud", "-ts", fresh});
    QVERIFY(lupdate.waitForFinished(60000));
    QCOMPARE(lupdate.exitCode(), 0);
    const Catalogue code = readCatalogue(fresh);
    const Catalogue shipped = readCatalogue(QStringLiteral(KT_SOURCE_DIR "/translations/KT-MRC600Cam.ts"));
    QVERIFY(code.sources.size() > 50);
    QCOMPARE(code.sources - shipped.sources, QSet<QString>());
    QCOMPARE(shipped.sources - code.sources, QSet<QString>());
    QCOMPARE(shipped.untranslated, QStringList());
#endif
}

// The catalogue is installed once, however many devices there are, and
// leaves with the last of them.
void tst_KTTranslation::oneCatalogueForAllDevices()
{
#ifdef KT_NO_CATALOGUE
    QSKIP("needs the catalogue");
#else
    const auto speed = [] { return QCoreApplication::translate("KTMRC600Cam", "切割速度"); };
    QCOMPARE(speed(), QStringLiteral("切割速度"));
    int languageChanges = 0;
    QObject watcher;
    struct Filter : QObject
    {
        int *count;
        explicit Filter(int *c) : count(c) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::LanguageChange)
                ++*count;
            return false;
        }
    } filter(&languageChanges);
    qApp->installEventFilter(&filter);
    {
        auto root = std::make_unique<KTMRC600Cam>();
        std::vector<std::unique_ptr<KTDeviceInterface>> devices;
        for (int i = 0; i < 20; ++i)
            devices.emplace_back(root->initInstance());
        QCOMPARE(speed(), QStringLiteral("Cutting speed"));
        QCoreApplication::processEvents();
        QCOMPARE(languageChanges, 1);   // one installation, not one per device
        root.reset();
        devices.resize(1);
        QCOMPARE(speed(), QStringLiteral("Cutting speed"));   // still held by a device
    }
    QCOMPARE(speed(), QStringLiteral("切割速度"));
    qApp->removeEventFilter(&filter);
#endif
}

QTEST_MAIN(tst_KTTranslation)
#include "tst_kttranslation.moc"
