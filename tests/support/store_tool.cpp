// A second process on the settings file, for the tests of two writers at once:
//   store_tool FILE record NAME          records NAME as active now, reading the file first
//   store_tool FILE set-text KEY VALUE   stores a text
#include "app/store.h"

#include <cstring>

using namespace nimbrel;

int main(int argc, char *argv[])
{
    if (argc < 4)
        return 2;
    Store store(QString::fromLocal8Bit(argv[1]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    if (argc == 5 && std::strcmp(argv[2], "set-text") == 0) {
        store.setValue(name, QString::fromLocal8Bit(argv[4]));
        return 0;
    }
    if (argc != 4 || std::strcmp(argv[2], "record") != 0)
        return 2;
    store.text(StoreKey::pm2Path); // a read before the write, as the command line makes
    store.updateLastActive([&](Store::LastActive &times) { times.insert(name, now()); });
    return 0;
}
