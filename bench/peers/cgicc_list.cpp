// The benchmark's listing made with GNU cgicc: one line per field with its
// name and decoded length, one per upload with its field name, file name and
// size.
#include <cgicc/Cgicc.h>
#include <cgicc/HTTPContentHeader.h>
#include <iostream>

int main() {
    cgicc::Cgicc cgi;
    std::cout << "Content-type: text/plain\r\n\r\n";
    for (const auto &f : *cgi)
        std::cout << "F " << f.getName() << ' ' << f.getValue().size() << '\n';
    for (const auto &u : cgi.getFiles())
        std::cout << "U " << u.getName() << ' ' << u.getFilename() << ' ' << u.getDataLength() << '\n';
    return 0;
}
