// Opens the shell's Eval and Screenshot interfaces to the desktop suite, and gives its Eval
// code the shell's modules under one name (quorvel.Main, quorvel.Meta, ...), as the module
// form of this extension for GNOME 45 and later does.
function init() {}
function enable() {
    globalThis.quorvel = {
        Main: imports.ui.main, Meta: imports.gi.Meta, Clutter: imports.gi.Clutter,
        GLib: imports.gi.GLib, Gio: imports.gi.Gio,
    };
    global.context.unsafe_mode = true;
}
function disable() {}
