// The host's global services, as the sylvaform program offers them to the
// plug-in module by name: a panel service that keeps the tables and hints it
// is given, messages and progress on standard error, float RGB images, and a
// presets shelf kept in a directory on disk. Defined in app/services/, a
// file per service.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/preset_file.h"
#include "formats/errors.h"
#include "host/host_api.h"

namespace sf::app {

// A failure of the host or of the tool it drives; the message is one line.
// A machine failure mostly; a preset the tool declines is one too.
class host_error : public machine_error {
public:
    using machine_error::machine_error;
};

// ---- "LWXPanel 2" ----

struct panel_range {
    int min, max, step;
};

struct panel_group {
    unsigned id;
    std::string label;
    std::vector<unsigned> members;
};

// While the integer behind controller is zero, ids are disabled and the
// panel shows off_text.
struct panel_enable {
    unsigned controller;
    std::vector<unsigned> ids;
    std::string off_text;
};

// One panel as the tool described it. Values are read and written only
// through the tool's own get and set callbacks.
class xpanel {
public:
    struct control {
        unsigned id;
        std::string label, control_class;
    };
    struct data_desc {
        unsigned id;
        std::string name, type;
    };

    int kind = 0;
    std::vector<control> controls;  // panel-table order
    std::vector<data_desc> data;
    std::string title;
    unsigned tabs_id = 0;
    std::vector<unsigned> tabs;  // group ids, in tab order
    std::vector<panel_group> groups;
    std::vector<unsigned> dividers;
    std::map<unsigned, panel_range> ranges;
    std::map<unsigned, std::vector<std::string>> choices;
    std::map<unsigned, LWXPanelBtnFunc*> buttons;
    std::vector<panel_enable> enables;
    LWXPanelDestroyNotifyFunc* destroy_notify = nullptr;
    std::map<unsigned, std::vector<std::pair<int, int>>> host_hints;  // id → (tag, value)
    LWXPanelGetFunc* get = nullptr;
    LWXPanelSetFunc* set = nullptr;
    std::map<unsigned, void*> user_data;  // id 0: the instance the panel edits
    int view_refreshes = 0;

    void* instance() const;
    const control* find_control(unsigned id) const;
    const panel_group* find_group(unsigned id) const;
    // The address the get callback answers for id, or null.
    void* value_address(unsigned id) const;
    // Calls the set callback; answers its refresh code.
    int set_value(unsigned id, void* value) const;
    // Calls the action a button hint gave; throws host_error when none.
    void press(unsigned id);
    // True while an enable rule holds the control (or its group) disabled.
    bool greyed(unsigned id) const;
    // The text shown while some enable rule is off, or empty.
    std::string inactive_text() const;

    void apply_hints(const LWXPHint* hints);
};

// ---- "LWShelfFuncs" ----

struct shelf_client {
    std::string client_class, title;
    void* userdata = nullptr;
    int flags = 0;
    LWShelfOKFunc* ok = nullptr;
    LWShelfLoadFunc* load = nullptr;
    LWShelfSaveFunc* save = nullptr;
    bool open = false;
};

// The presets shelf: one directory, each preset a file NAME.sfpreset and its
// thumbnail NAME.png beside it (the name encoded by preset_file_stem).
class preset_shelf {
public:
    struct saved_preset {
        std::string name, preset_path, png_path, picture_path;
        bool replaced = false;
    };

    std::filesystem::path dir;
    std::string pending_name;  // the name the next addPreset saves under
    std::optional<preset_crown> pending_crown;  // the crown it keeps, if any
    std::optional<saved_preset> last_saved;
    std::string last_error;  // of the last addPreset that failed
    bool name_wanted = false;  // the last addPreset came without a pending name
    std::vector<std::unique_ptr<shelf_client>> clients;
    // The picture of the tree being saved (PNG bytes), written beside the
    // preset for the page's shelf; unset, a preset is saved without one.
    std::function<std::string()> draw_picture;

    std::string preset_path(const std::string& name) const;
    std::string png_path(const std::string& name) const;
    // NAME.sfview: no preset's own files end so, whatever its name.
    std::string picture_path(const std::string& name) const;
    // Reads and checks a preset; throws preset_error.
    preset_data read(const std::string& name) const;
    // The thumbnail's PNG bytes, none when the preset has none; a link or
    // anything but a regular file of at most k_shelf_png_max bytes throws
    // preset_error.
    std::optional<std::string> read_thumbnail(const std::string& name) const;
    // The same for the preset's picture.
    std::optional<std::string> read_picture(const std::string& name) const;
    // Names of the presets in the directory, sorted; files that are not
    // usable presets are reported in warnings.
    std::vector<std::string> list(std::vector<std::string>& warnings) const;
    // Removes a preset, its thumbnail and picture; throws preset_error when absent.
    // Adding and removing hold the shelf's lock, so that a preset and its
    // thumbnail are always of one run.
    void remove(const std::string& name) const;
    // Offers a checked preset to the client's load callback.
    void load(const shelf_client& client, const preset_data& preset) const;
    // The addPreset service: asks the client to save, then writes its files
    // (an older picture goes when none is drawn).
    void add(const shelf_client& client, LWPixmapID thumbnail);

    shelf_client* find(LWShelfCltID id) const;
};

// The panel controls whose values a preset keeps beside the tool's stream
// (those that change the tree and that the stream does not hold). Loading
// sets them through the panel's set callback after the stream.
std::span<const unsigned> kept_panel_controls();

// Default shelf directory: ~/.local/share/sylvaform/presets.
std::filesystem::path default_shelf_dir();

// ---- "Image Utility 5" ----

struct host_image {
    int width = 0, height = 0;
    std::vector<float> rgb;
};

// ---- The host ----

struct host_state {
    std::vector<std::unique_ptr<xpanel>> panels;
    preset_shelf shelf;
    std::vector<std::unique_ptr<host_image>> images;
    bool progress_on_terminal = true;  // false: the monitor stays silent
    // Told of every monitor change: caption, steps done, total; total 0
    // when the monitor is done.
    std::function<void(const std::string&, unsigned, unsigned)> progress_hook;
    // The tool's information messages, each one line, until the command
    // or the page shows them.
    std::vector<std::string> messages;
    std::string missing_service;       // answered with none (tests)

    xpanel* find_panel(LWXPanelID id) const;
    host_image* find_image(LWPixmapID id) const;
};

// The one host of this process; reset() starts it afresh.
host_state& host();
void reset_host();

// The host's global function: service tables by name, none for others.
void* host_global(const char* service, int use_mode);

// The panel service's destroy: runs the destroy notification, then forgets
// the panel.
void destroy_panel(LWXPanelID id);

}  // namespace sf::app
