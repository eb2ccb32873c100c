// A second process on the settings file, for the tests of two writers at once:
//   store_tool FILE record PREFIX COUNT   records PREFIX0 .. PREFIX{COUNT-1} as active now,
//                                         reading the file before each write
//   store_tool FILE set-text KEY VALUE    stores a text
#include "app/store.h"

#include <cstdio>
#include <cstring>

using namespace nimbrel;

int main(int argc, char *argv[])
{
    if (argc != 5)
        return 2;
    Store store(QString::fromLocal8Bit(argv[1]));
    const QString a = QString::fromLocal8Bit(argv[3]);
    const QString b = QString::fromLocal8Bit(argv[4]);
    if (std::strcmp(argv[2], "record") == 0) {
        const int count = b.toInt();
        for (int i = 0; i < count; ++i) {
            const QString name = a + QString::number(i);
            store.text(StoreKey::pm2Path); // a read before the write, as the command line makes
            store.updateLastActive([&](Store::LastActive &times) { times.insert(name, now()); });
        }
        return 0;
    }
    if (std::strcmp(argv[2], "set-text") == 0) {
        store.setValue(a, b);
        return 0;
    }
    return 2;
}
