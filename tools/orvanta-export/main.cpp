// orvanta-export PROGRAM TARGET_FOLDER LINK
// Writes TARGET_FOLDER/Orvanta_<date> with START.sh and App/, prints the new
// folder and its size, or the reason for a failure (exit code 1).
// orvanta-export --base-libraries
// Prints the libraries a copy leaves to the system, one a line.
#include "app/links/DistributiveExporter.h"
#include "app/services/LibraryBundle.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--base-libraries")) {
        out << LibraryBundle::baseLibraries().join('\n') << "\n";
        return 0;
    }
    if (arguments.size() != 4) {
        err << "usage: orvanta-export PROGRAM TARGET_FOLDER LINK | --base-libraries\n";
        return 2;
    }
    DistributiveExporter exporter(nullptr, arguments.at(1));
    const DistributiveExporter::Result result = exporter.exportTo(arguments.at(2), arguments.at(3));
    if (!result.error.isEmpty()) {
        err << DistributiveExporter::statusText(result) << "\n";
        return 1;
    }
    out << result.folder << "\n" << result.bytes << "\n";
    return 0;
}
