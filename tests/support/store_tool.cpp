// A second process on the settings file, for the tests of two writers at once:
//   store_tool FILE record NAME          records NAME as active now, reading the file first
//   store_tool FILE set-text KEY VALUE   stores a text
#include "app/store.h"

using namespace nimbrel;

int main(int argc, char *argv[])
{
    const QByteArrayView verb = argc > 2 ? argv[2] : "";
    if (!(argc == 4 && verb == "record") && !(argc == 5 && verb == "set-text"))
        return 2;
    Store store(QString::fromLocal8Bit(argv[1]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    if (argc == 5) {
        return store.setValue({name, StoredType::text}, QString::fromLocal8Bit(argv[4])) ? 1 : 0;
    }
    store.text(StoreKey::pm2Path); // a read before the write, as the command line makes
    return store.recordActive({{name, now()}}) ? 1 : 0;
}
