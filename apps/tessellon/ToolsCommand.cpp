#include "ToolsCommand.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "Messages.h"
#include "Plugins.h"
#include "StitchCommand.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

std::string Text(const char* text) { return text ? text : ""; }

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Describe(const Link& link) {
    const TagList& tags = link.Tags();
    std::string line = Text(link.ID().Text()) + " \"" + Text(link.Name().Text()) + "\"";
    const HostID type = tags.GetID(LINK_DataType);
    line += type.IsEmpty() ? ": no data" : ": " + Text(type.Text());
    const HostID control = tags.GetID(INP_Control);
    if (!control.IsEmpty()) line += ", " + Text(control.Text());
    const std::vector<TagItem> entries = tags.All(INP_ComboEntry);
    if (!entries.empty()) {
        line += " (";
        for (size_t i = 0; i < entries.size(); ++i)
            line += (i ? ", " : "") + std::to_string(i) + " \"" + Text(entries[i].Text) + "\"";
        line += ")";
    }
    if (tags.Has(INP_RangeLow) || tags.Has(INP_RangeHigh))
        line += ", range " + Num(tags.GetDouble(INP_RangeLow)) + " to " + Num(tags.GetDouble(INP_RangeHigh));
    if (tags.Has(INP_TravelLow) || tags.Has(INP_TravelHigh))
        line += ", range " + Num(tags.GetDouble(INP_TravelLow)) + " to " + Num(tags.GetDouble(INP_TravelHigh));
    if (tags.Has(INP_Default)) line += ", default " + Num(tags.GetDouble(INP_Default));
    return line;
}

void Put32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += char((value >> (8 * i)) & 0xff);
}

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// A bitmap resource: the 40-byte information header, then bottom-up rows of
// blue, green, red, alpha.
struct TileBitmap {
    int32_t Width = 0, Height = 0;
    const uint8_t* Pixels = nullptr;
};

TileBitmap ReadTile(const HostResourceData& data, const std::string& where) {
    if (data.Size < 40 || Get32(data.Data) < 40) BadInput(where + ": the tile bitmap has no information header");
    TileBitmap tile;
    tile.Width = int32_t(Get32(data.Data + 4));
    const int32_t height = int32_t(Get32(data.Data + 8));
    const uint16_t bits = uint16_t(data.Data[14] | data.Data[15] << 8);
    const uint32_t compression = Get32(data.Data + 16);
    if (tile.Width <= 0 || height <= 0 || bits != 32 || compression != 0)
        BadInput(where + ": the tile bitmap is not an uncompressed bottom-up 32-bit picture");
    tile.Height = height;
    const uint64_t need = uint64_t(Get32(data.Data)) + uint64_t(tile.Width) * uint64_t(tile.Height) * 4u;
    if (data.Size < need) BadInput(where + ": the tile bitmap is cut short");
    tile.Pixels = data.Data + Get32(data.Data);
    return tile;
}

void WriteTile(const Plugins& plugins, const std::string& path) {
    const Registry& record = plugins.Find(StitchClass);
    HostModule* module = ModuleOfRecord(&record);
    if (!module) BadInput("the record " + Quoted(StitchClass) + " came from no loaded module");
    const std::string where = ModulePath(module);
    const HostResource* resource = FindModuleResource(module, uint32_t(record.BitmapID()), HOST_RESOURCE_BITMAP);
    if (!resource) BadInput(where + " carries no bitmap " + std::to_string(record.BitmapID()));
    const HostResourceData data = LoadModuleResource(module, resource);

    std::string extension = fs::path(path).extension().string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".bmp") {
        // A bitmap file is the resource behind a 14-byte file header.
        const uint32_t offset = 14 + Get32(data.Data);
        std::string file = "BM";
        Put32(file, uint32_t(14 + data.Size));
        Put32(file, 0);
        Put32(file, offset);
        file.append(reinterpret_cast<const char*>(data.Data), data.Size);
        const fs::path temporary = fs::path(path).concat(".tmp");
        {
            std::ofstream out(temporary, std::ios::binary);
            out.write(file.data(), std::streamsize(file.size()));
            if (!out.flush()) {
                std::error_code ignored;
                fs::remove(temporary, ignored);
                BadInput("cannot write " + Quoted(path));
            }
        }
        std::error_code error;
        fs::rename(temporary, path, error);
        if (error) BadInput("cannot write " + Quoted(path) + ": " + error.message());
        return;
    }
    if (!IsOutputType(path)) BadInput("cannot write " + Quoted(path) + ": use .bmp, " + OutputTypes());

    const TileBitmap tile = ReadTile(data, where);
    HostRef<Image> image(NewImage({Tag<IMG_Width>(tile.Width), Tag<IMG_Height>(tile.Height), Tag<IMG_Channel>(0),
                                   Tag<IMG_Channel>(1), Tag<IMG_Channel>(2), Tag<IMG_Channel>(3),
                                   Tag<IMG_Format>(int32_t(Format_UInt8))}));
    if (!image) NoImage("the host made no image for the tile: " + HostApp::LastImageRefusal().Text);
    std::vector<float> row(size_t(tile.Width) * 4);
    // Bitmap rows run bottom-up, as host rows do.
    for (int32_t y = 0; y < tile.Height; ++y) {
        const uint8_t* source = tile.Pixels + size_t(y) * size_t(tile.Width) * 4;
        for (int32_t x = 0; x < tile.Width; ++x) {
            row[size_t(x) * 4 + 0] = float(source[x * 4 + 2]) / 255.0f;
            row[size_t(x) * 4 + 1] = float(source[x * 4 + 1]) / 255.0f;
            row[size_t(x) * 4 + 2] = float(source[x * 4 + 0]) / 255.0f;
            row[size_t(x) * 4 + 3] = float(source[x * 4 + 3]) / 255.0f;
        }
        image->WriteSpan(0, y, tile.Width, row.data());
    }
    WriteImageFile(*image, path);
}

}  // namespace

void RunTools(const Plugins& plugins, const std::string& tilePath) {
    for (HostModule* module : plugins.Modules()) {
        std::printf("module %s\n", ModulePath(module).c_str());
        for (Registry* record : ModuleRecords(module)) {
            std::printf("\n%s\n", record->ClassID().Text());
            std::printf("  name         %s\n", Text(record->Name()).c_str());
            std::printf("  description  %s\n", Text(record->Description()).c_str());
            std::printf("  build        %s\n", Text(record->BuildText()).c_str());
            std::printf("  parent       %s\n", record->Parent().IsEmpty() ? "-" : record->Parent().Text());
            const bool tile = FindModuleResource(module, uint32_t(record->BitmapID()), HOST_RESOURCE_BITMAP);
            std::printf("  tile bitmap  %d%s\n", record->BitmapID(), tile ? "" : " (not in the module)");
            ToolInstance tool(*record);
            for (const Link* link : tool.Op().Links())
                std::printf("  %-7s      %s\n", link->IsOutput() ? "output" : "input", Describe(*link).c_str());
        }
    }
    std::fflush(stdout);
    if (!tilePath.empty()) {
        WriteTile(plugins, tilePath);
        std::printf("tessellon: wrote the tile picture of %s to %s\n", StitchClass, tilePath.c_str());
    }
}

void RunAbout(const Plugins& plugins) {
    ToolInstance tool(plugins.Find(StitchClass));
    HostApp::SetMessageBoxHandler([](const char* text, const char* caption, unsigned) {
        std::printf("%s\n\n%s\n", caption ? caption : "", text ? text : "");
        std::fflush(stdout);
        return 1;   // IDOK
    });
    const HostRef<Number> press(Number::New(1.0));
    tool.Op().NotifyChanged(&tool.In("About"), press.Get(), 0.0, nullptr);
    HostApp::SetMessageBoxHandler(nullptr);
}

}  // namespace tessellon
