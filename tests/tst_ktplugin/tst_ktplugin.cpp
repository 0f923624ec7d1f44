// Loads the built module the way a host does; links only the host-facing
// interface and parameter class, never the device code.
#include "device/ktdeviceinterface.h"
#include "property/ktdeviceproperty.h"

#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QtTest>

class tst_KTPlugin : public QObject
{
    Q_OBJECT
private slots:
    void loadsAndCasts();
    void metadataRecord();
    void rootObjectHolder();
    void runtimeCastNames_data();
    void runtimeCastNames();
    void factoryGivesFullDevices();
    void parametersCastAcrossTheBoundary();
    void commonSlotsAsHostsConnectThem();
    void exportsOnlyEntryPoints();
    void traceCategoriesFilter_data();
    void traceCategoriesFilter();
};

static const QString pluginPath = QStringLiteral(KT_PLUGIN_PATH);

void tst_KTPlugin::loadsAndCasts()
{
    QPluginLoader loader(pluginPath);
    QObject *root = loader.instance();
    QVERIFY2(root, qPrintable(loader.errorString()));
    QCOMPARE(loader.metaData().value("IID").toString(), QStringLiteral("org.qt-project.Qt.QGenericPluginFactoryInterface"));
    QCOMPARE(loader.metaData().value("className").toString(), QStringLiteral("KTMRC600Cam"));
    QVERIFY(loader.metaData().value("MetaData").toObject().value("Keys").toArray().isEmpty());
    auto *device = qobject_cast<KTDeviceInterface *>(root);
    QVERIFY(device);
    QCOMPARE(device->icon(), 0);
    QCOMPARE(QByteArray(root->metaObject()->className()), QByteArray("KTMRC600Cam"));
}

void tst_KTPlugin::metadataRecord()
{
    QByteArray expected("QTMETADATA !");
    expected += QByteArray::fromHex("00050f");
#ifdef QT_NO_DEBUG
    expected += char(0);   // release build, no special architecture
#else
    expected += char(1);
#endif
    expected += QByteArray::fromHex("bf027830");
    expected += "org.qt-project.Qt.QGenericPluginFactoryInterface";
    expected += QByteArray::fromHex("036b");
    expected += "KTMRC600Cam";
    expected += QByteArray::fromHex("04a1644b65797380ff");
    QCOMPARE(expected.size(), 90);

    QFile file(pluginPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray image = file.readAll();
    const int at = image.indexOf("QTMETADATA !");
    QVERIFY(at >= 0);
    QCOMPARE(image.mid(at, 90), expected);

    QLibrary lib(pluginPath);
    auto query = reinterpret_cast<const char *(*)()>(lib.resolve("qt_plugin_query_metadata"));
    QVERIFY(query);
    QCOMPARE(QByteArray(query(), 90), expected);
}

void tst_KTPlugin::rootObjectHolder()
{
    QLibrary lib(pluginPath);
    auto instance = reinterpret_cast<QObject *(*)()>(lib.resolve("qt_plugin_instance"));
    QVERIFY(instance);
    QObject *a = instance();
    QVERIFY(a);
    QCOMPARE(instance(), a);
    QPointer<QObject> guard(a);
    delete a;
    QVERIFY(guard.isNull());
    QObject *b = instance();
    QVERIFY(b);
    QVERIFY(qobject_cast<KTDeviceInterface *>(b));
    QCOMPARE(instance(), b);
}

void tst_KTPlugin::runtimeCastNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("answers");
    QTest::newRow("class") << QByteArray("KTMRC600Cam") << true;
    QTest::newRow("interface id") << QByteArray("Orla.nuvexa.ktdeviceinterface") << true;
    QTest::newRow("common") << QByteArray("KTCommonInterface") << true;
    QTest::newRow("interface class") << QByteArray("KTDeviceInterface") << true;
    QTest::newRow("QObject") << QByteArray("QObject") << true;
    QTest::newRow("other") << QByteArray("KTOther") << false;
}

void tst_KTPlugin::runtimeCastNames()
{
    QFETCH(QByteArray, name);
    QPluginLoader loader(pluginPath);
    QObject *root = loader.instance();
    QVERIFY(root);
    QTEST(root->qt_metacast(name.constData()) != nullptr, "answers");
    QVERIFY(root->qt_metacast(nullptr) == nullptr);
}

void tst_KTPlugin::factoryGivesFullDevices()
{
    QPluginLoader loader(pluginPath);
    auto *root = qobject_cast<KTDeviceInterface *>(loader.instance());
    QVERIFY(root);
    QVERIFY(root->dynamicPropertyNames().isEmpty());
    std::unique_ptr<KTDeviceInterface> a(root->initInstance());
    std::unique_ptr<KTDeviceInterface> b(root->initInstance());
    QVERIFY(a && b && a != b);
    QCOMPARE(a->dynamicPropertyNames().size(), 51);
    KTDeviceProperty *speed = a->property_ptr("SP2_SPEED");
    QVERIFY(speed);
    QVERIFY(speed != b->property_ptr("SP2_SPEED"));
    QCOMPARE(speed->get_cmd_bytes(), QByteArray("\x02" "14;CMD;GET3;\x03"));
}

// The host and the module share one meta-object per host API class.
void tst_KTPlugin::parametersCastAcrossTheBoundary()
{
    QPluginLoader loader(pluginPath);
    auto *root = qobject_cast<KTDeviceInterface *>(loader.instance());
    QVERIFY(root);
    std::unique_ptr<KTDeviceInterface> d(root->initInstance());
    QObject *speed = d->property_ptr("SP2_SPEED");
    QVERIFY(speed);
    QCOMPARE(speed->metaObject(), &KTDeviceProperty::staticMetaObject);
    QVERIFY(qobject_cast<KTDeviceProperty *>(speed));
    QCOMPARE(d->metaObject()->superClass()->superClass(), &KTDeviceInterface::staticMetaObject);
}

// Hosts connect to these by their normalized signatures, in this order.
void tst_KTPlugin::commonSlotsAsHostsConnectThem()
{
    QPluginLoader loader(pluginPath);
    auto *root = qobject_cast<KTDeviceInterface *>(loader.instance());
    QVERIFY(root);
    std::unique_ptr<KTDeviceInterface> d(root->initInstance());
    const QMetaObject *common = d->metaObject()->superClass();
    QCOMPARE(QByteArray(common->className()), QByteArray("KTCommonInterface"));
    QByteArrayList signatures;
    for (int i = common->methodOffset(); i < common->methodCount(); ++i) {
        const QMetaMethod m = common->method(i);
        if (m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Public)
            signatures << m.methodSignature();
    }
    const QByteArrayList expected{"slot_usb_write(QByteArray)",
                                  "slot_usb_read(QByteArray)",
                                  "slot_usb_status(int)",
                                  "slot_tcp_socket_read()",
                                  "slot_tcp_socket_state(QAbstractSocket::SocketState)",
                                  "slot_device_timer()",
                                  "slot_websocket_connected()",
                                  "slot_websocket_disconnected()",
                                  "slot_websocket_error(QAbstractSocket::SocketError)",
                                  "slot_websocket_text_received(QString)"};
    QCOMPARE(signatures, expected);
}

void tst_KTPlugin::exportsOnlyEntryPoints()
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {"-D", "--defined-only", pluginPath});
    QVERIFY(nm.waitForFinished(10000));
    QStringList functions;   // every defined dynamic symbol
    for (const QString &line : QString::fromLatin1(nm.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(' ');
        static const QStringList linkerMarks{"_edata", "_end", "__bss_start"};
        if (f.size() != 3 || linkerMarks.contains(f.at(2)))
            continue;
#ifdef KT_INSTRUMENTED
        // Sanitizers and coverage add type records and counter sections.
        if (f.at(2).startsWith("_ZTI") || f.at(2).startsWith("_ZTS") || f.at(2).contains("___sancov_"))
            continue;
#endif
        functions << f.at(2);
    }
    functions.sort();
    QCOMPARE(functions, QStringList({"qt_plugin_instance", "qt_plugin_query_metadata"}));
}

void tst_KTPlugin::traceCategoriesFilter_data()
{
    QTest::addColumn<bool>("pluginOn");
    QTest::newRow("plug-in on") << true;
    QTest::newRow("plug-in off, host's own on") << false;
}

// A host silences the plug-in by its categories without silencing itself.
void tst_KTPlugin::traceCategoriesFilter()
{
    QFETCH(bool, pluginOn);
    static bool pluginTraces;
    static QStringList lines;
    pluginTraces = pluginOn;
    lines.clear();
    // A category filter of the host's own, which no environment rule overrides.
    QLoggingCategory::CategoryFilter previousFilter = QLoggingCategory::installFilter([](QLoggingCategory *category) {
        const bool plugin = QByteArray(category->categoryName()).startsWith("kt.");
        category->setEnabled(QtDebugMsg, plugin ? pluginTraces : true);
    });
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
        lines << text;
    });
    {
        QPluginLoader loader(pluginPath);
        auto *root = qobject_cast<KTDeviceInterface *>(loader.instance());
        std::unique_ptr<KTDeviceInterface> d(root->initInstance());
        d->setIPAddress("127.0.0.1");
        d->property_ptr("TCP_PORT")->setValue(1);
        d->connectDevice();
        qDebug("host's own line");
    }
    qInstallMessageHandler(previous);
    QLoggingCategory::installFilter(previousFilter);
    QVERIFY(lines.contains("host's own line"));
    bool plugin = false;
    for (const QString &t : lines)
        plugin |= t.startsWith("KTCommonInterface::");
    QCOMPARE(plugin, pluginOn);
}

QTEST_MAIN(tst_KTPlugin)
#include "tst_ktplugin.moc"
