#ifndef SETTINGSWINDOW_H
#define SETTINGSWINDOW_H

#include "tools/host/ktvalue.h"

#include <QList>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include <functional>

class KTHost;
class KTDeviceProperty;
class QLabel;
class QPushButton;

// The user and system pages, each built by the parameters' own controls.
// It reads the machine when it opens, without ever blocking the event loop;
// Write stays disabled until a read has succeeded and then sends only what
// the user changed, each value checked first and read back afterwards.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsWindow(KTHost *host, int timeoutMs, QWidget *parent = nullptr);
    ~SettingsWindow() override;

    bool busy() const { return m_current != nullptr || !m_queue.isEmpty(); }
    bool hasRead() const { return m_hasRead; }
    QString statusText() const;
    // The widget that shows a key: its editor, or the label of a read-only parameter.
    QWidget *controlFor(const QString &key) const;
    QStringList keys() const;
    // Asked, with what the writes would do, before a write that makes the
    // machine act or that makes no sense for it; true writes. By default a
    // question box, and no when no one can answer it (offscreen).
    void setConfirmation(std::function<bool(const QString &question)> ask) { m_confirm = std::move(ask); }

public slots:
    void readAll();
    void writeChanged();

signals:
    // ok: every parameter answered; otherwise the status line says which did not.
    void readFinished(bool ok);
    void writeFinished(bool ok);

private:
    struct Item
    {
        QString key;
        KTDeviceProperty *p = nullptr;
        KTValue::Form form;
        QPointer<QWidget> control;
        QVariant shownAfterRead;
        QVariant sent;           // the value a write is waiting to see read back
        QString typed;           // what the control showed when it was sent
    };
    struct Step
    {
        KTDeviceProperty *reader = nullptr;
        Item *written = nullptr;   // a write's read-back
    };

    QWidget *page(const QStringList &keys);
    void collect(const QStringList &keys);
    void fill();
    Item *item(const QString &key);
    void startNext();
    void checkReply();
    void finishStep(bool answered);
    void setActivity(const QString &text);
    void updateButtons();
    bool confirmed(const QStringList &reasons);

    KTHost *m_host;
    int m_timeoutMs;
    QList<Item> m_items;
    QList<Step> m_queue;
    bool m_writing = false;
    bool m_hasRead = false;
    bool m_failed = false;
    int m_stepsDone = 0;
    int m_stepsTotal = 0;
    QStringList m_problems;
    QStringList m_results;

    // The read in flight: the values it covers and what they held before.
    KTDeviceProperty *m_current = nullptr;
    Item *m_currentWrite = nullptr;
    QList<KTDeviceProperty *> m_targets;
    QList<QVariant> m_originals;
    QTimer m_timer;
    QMetaObject::Connection m_idle;

    QLabel *m_status;
    QPushButton *m_read;
    QPushButton *m_write;
    QString m_activity;
    std::function<bool(const QString &)> m_confirm;
};

#endif // SETTINGSWINDOW_H
