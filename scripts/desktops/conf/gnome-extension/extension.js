// Opens the shell's Eval and Screenshot interfaces to the desktop suite.
function init() {}
function enable() { global.context.unsafe_mode = true; }
function disable() {}
