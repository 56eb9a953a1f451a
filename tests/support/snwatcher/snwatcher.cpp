// A stand-in for a desktop's StatusNotifierWatcher, for the tray tests: it owns
// org.kde.StatusNotifierWatcher on the session bus, says a host is registered (so Qt picks its
// D-Bus tray) and prints one line per change, flushed at once, for the test to wait on:
//   ready                      the name is owned
//   item <service> <path>      an item registered (its bus name and object path)
//   gone <service>             an item's bus name left the bus
// Single-threaded: everything runs on the Qt event loop.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QStringList>
#include <cstdio>

namespace {

void Say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

}  // namespace

class SnWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ Items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
    Q_PROPERTY(int ProtocolVersion READ Protocol)

  public:
    explicit SnWatcher(QDBusConnection bus) : bus_(bus), owners_(this) {
        owners_.setConnection(bus_);
        owners_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this, &SnWatcher::Drop);
    }

    QStringList Items() const { return items_; }
    bool HostRegistered() const { return true; }
    int Protocol() const { return 0; }

  public Q_SLOTS:
    // The argument is a bus name (Qt sends its item's own) or an object path on the caller's.
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
        const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
        const QString service = isPath ? message.service() : serviceOrPath;
        const QString path = isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
        const QString entry = service + path;
        if (!items_.contains(entry))
            items_.append(entry);
        owners_.addWatchedService(service);
        Say(QStringLiteral("item %1 %2").arg(service, path));
        emit StatusNotifierItemRegistered(entry);
    }
    void RegisterStatusNotifierHost(const QString& service) {
        Say(QStringLiteral("host %1").arg(service));
        emit StatusNotifierHostRegistered();
    }

  Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& entry);
    void StatusNotifierItemUnregistered(const QString& entry);
    void StatusNotifierHostRegistered();

  private:
    void Drop(const QString& service) {
        owners_.removeWatchedService(service);
        for (qsizetype i = items_.size() - 1; i >= 0; --i) {
            if (items_[i].startsWith(service + QLatin1Char('/'))) {
                emit StatusNotifierItemUnregistered(items_[i]);
                items_.removeAt(i);
            }
        }
        Say(QStringLiteral("gone %1").arg(service));
    }

    QDBusConnection bus_;
    QDBusServiceWatcher owners_;
    QStringList items_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", bus.lastError().message().toUtf8().constData());
        return 2;
    }
    SnWatcher watcher(bus);
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties)) {
        std::fprintf(stderr, "cannot export the watcher object\n");
        return 2;
    }
    if (!bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "cannot own org.kde.StatusNotifierWatcher: %s\n",
                     bus.lastError().message().toUtf8().constData());
        return 2;
    }
    Say(QStringLiteral("ready"));
    return app.exec();
}

#include "snwatcher.moc"
