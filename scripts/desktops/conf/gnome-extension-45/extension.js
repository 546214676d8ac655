// Opens the shell's Eval and Screenshot interfaces to the desktop suite, and gives its Eval
// code the shell's modules under one name (quorvel.Main, quorvel.Meta, ...): GNOME 45 and
// later load the shell and its extensions as modules, which Eval code cannot import.
import Clutter from 'gi://Clutter';
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';

export default class QuorvelTestHooks extends Extension {
    enable() {
        globalThis.quorvel = {Main, Meta, Clutter, GLib, Gio};
        global.context.unsafe_mode = true;
    }

    disable() {}
}
