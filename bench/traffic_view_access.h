// What a screen reader sees of a traffic view: a read-only, multi-line text with a caret and
// a selection, the rows as the view shows them.
#pragma once

class TrafficView;

// Makes the views known to Qt's accessibility; once per process, from the first view.
void InstallTrafficViewAccessible();
// GUI thread: the caret or the selection moved; tells a listening screen reader, if any.
void NotifyTrafficViewCaret(TrafficView& view);
