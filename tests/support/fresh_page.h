// The settings page a program writes when it has none, sample keys included: what the
// settings tests of the files layer and of kdx-cli expect.
#pragma once
#include <string>

namespace kdx::test {

// The page Ini_Get_Current_Path writes, sample keys included.
inline const std::string Fresh_Page =
    "<!DOCTYPE html>\r"
    "<html>\r"
    "     <head>\r"
    "          <link rel=\"stylesheet\" href=\"../dravon.css\" type=\"text/css\">\r"
    "     </head>\r"
    "     <body>\r"
    "          <p><br/><p>\r"
    "          <details>\r"
    "               <summary>\r"
    "Port 7 Info\r"
    "               </summary>\r"
    "[COM7]\r"
    "Quill Test:=Yadda<br/>\r"
    "          </details>\r"
    "          <details>\r"
    "               <summary>\r"
    "Port 6 Info\r"
    "               </summary>\r"
    "[COM6]<br>\r"
    "Number:=6<br/>\r"
    "Baud:=9600V<br/>\r"
    "          </details>\r"
    "          <details>\r"
    "               <summary>\r"
    "Port 1 Info\r"
    "               </summary>\r"
    "[COM1]\r"
    "Number:=1<br/>\r"
    "          </details>\r"
    "     </body>\r"
    "</html>\r";

}  // namespace kdx::test
