#ifndef KTMRC600CAM_H
#define KTMRC600CAM_H

#include "device/ktcommoninterface.h"

// The desktop label cutter with registration camera: the plug-in's root
// object and the class of every device object it hands out.
class KTMRC600Cam : public KTCommonInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QGenericPluginFactoryInterface" FILE "ktmrc600cam.json")
    Q_INTERFACES(KTDeviceInterface)
public:
    explicit KTMRC600Cam(QObject *parent = nullptr);
    ~KTMRC600Cam() override;

    KTDeviceInterface *initInstance() override;
    QStringList userProperty() override;
    QStringList sysProperty() override;

    using KTCommonInterface::decode_cmd;
    void decode_cmd(QString frame) override;
};

#endif // KTMRC600CAM_H
