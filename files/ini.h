// The settings file: an HTML page beside the executable that is at the same time a
// private-profile file. Its section lines sit inside the page's details blocks and every key
// carries a little HTML ("Port:" = "COM3<br/>"), so a browser shows one key per line.
#pragma once
#include <cstdint>
#include <string>

namespace kdx {

// The path rules, as pure functions of an executable's path. The separators are "\", "/"
// and ":".
namespace ini_rules {
// The folder with its final separator; "" when the path has no separator.
std::string Folder_Of(const std::string& exe_path);
// The settings name of Ini_Set_Value and Ini_Get_Value: the file name cut after its last
// "." with every ".", "\" and "/" removed (Tool.rev2.exe gives Toolrev2). A name without
// any "." is kept whole.
std::string Settings_Name_Of(const std::string& exe_path);
// The page's file name (without folder): the file name with its extension replaced by
// ".html" (Tool.rev2.exe gives Tool.rev2.html); a name without extension gets ".html" added.
std::string Page_File_Of(const std::string& exe_path);
}  // namespace ini_rules

// The longest path the settings operations use (longer ones are refused, never cut).
constexpr size_t Max_Settings_Path = 259;
// The longest value Ini_Get_Value returns.
constexpr uint32_t Max_Settings_Value = 259;

// Full path of the running executable; "" (error 206) when it is longer than
// Max_Settings_Path.
std::string Ini_Get_Full_Path();
std::string Ini_Get_Leading_Path();
std::string Ini_Get_Name();
std::string Ini_Get_Extension();

// Writes section / key = value into folder + settings name + ".html"; returns "".
std::string Ini_Set_Value(const std::string& section, const std::string& key,
                          const std::string& value);
// The value of the key, or default_value when the file or key is missing.
std::string Ini_Get_Value(const std::string& section, const std::string& key,
                          const std::string& default_value);
// Writes one key into folder + file; non-zero on success.
int32_t Ini_Write_Key(const std::string& folder, const std::string& file,
                      const std::string& section, const std::string& key, const std::string& value);
// Writes the sample keys into folder + file; returns the result of the "Baud:" write.
// complete, when given, tells whether every one of its writes succeeded (the result is that
// of one key only).
int32_t Ini_Write_Sample_Key(const std::string& folder, const std::string& file,
                             bool* complete = nullptr);

// The settings page's path: folder + page file name (see ini_rules::Page_File_Of); "" when
// the executable's path cannot be used.
std::string Ini_Get_Page_Path();
// Creates the settings page anew (an existing one is overwritten) and inserts the sample
// keys into its details blocks. Returns "".
std::string Ini_Get_Current_Path();
// Records the port the Terminal dialog has opened: "Port:" = name + "<br/>" in section
// "<summary>Port Info</summary>" of the settings page. Non-zero on success.
int32_t Ini_Set_Terminal_Port(const std::string& name);

}  // namespace kdx
