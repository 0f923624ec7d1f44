// Renders the plug-in's two settings pages to PNG, the way a host builds them.
// Usage: kt-render-pages user|sys OUTPUT.png
#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args.at(1) != "user" && args.at(1) != "sys")) {
        std::fprintf(stderr, "usage: kt-render-pages user|sys OUTPUT.png\n");
        return 2;
    }
    KTMRC600Cam root;
    std::unique_ptr<KTCommonInterface> device(static_cast<KTCommonInterface *>(root.initInstance()));

    // Values as a machine would report them.
    const char *replies[] = {"CMD;3:400;", "CMD;4:180;", "CMD;44:75;", "CMD;45:50;", "CMD;43:30;",
                             "CMD;11:1200;12:0;13:0;", "CMD;14:65136;15:65535;16:0;", "CMD;24:10000;",
                             "CMD;25:9998;", "CMD;28:600;", "CMD;29:1000;",
                             "CCMD;2,0,KT-MRC600Cam,D24001,P7316,V2.1,1.0.8,C3;", "CCMD;57,0,7F3A9C21;"};
    for (const char *r : replies)
        device->slot_usb_read("\x02" "0;" + QByteArray(r) + "\x03");

    QWidget page;
    page.setMinimumWidth(520);
    auto *layout = new QVBoxLayout(&page);
    layout->setSpacing(8);
    const QStringList keys = args.at(1) == "user" ? device->userProperty() : device->sysProperty();
    for (const QString &key : keys) {
        if (KTDeviceProperty *p = device->property_ptr(key.toLatin1().constData())) {
            p->create_ui_ctrl(&page, key, true);
            p->to_ui_ctrl();
        }
    }
    layout->addStretch(1);
    page.adjustSize();
    page.resize(page.sizeHint().expandedTo(QSize(520, 0)));
    return page.grab().save(args.at(2)) ? 0 : 1;
}
