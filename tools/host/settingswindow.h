#ifndef SETTINGSWINDOW_H
#define SETTINGSWINDOW_H

#include <QWidget>

class KTHost;
class KTDeviceProperty;
class QLabel;

// The user and system pages, each built by the parameters' own controls,
// with Read and Write buttons that talk to the machine.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsWindow(KTHost *host, QWidget *parent = nullptr);

public slots:
    void readAll();
    void writeAll();

private:
    QList<KTDeviceProperty *> leaves(const QStringList &keys) const;
    QWidget *page(const QStringList &keys);

    KTHost *m_host;
    QStringList m_keys;
    QLabel *m_status;
};

#endif // SETTINGSWINDOW_H
