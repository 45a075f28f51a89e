// The keys: the key pass, and the notes of presses that let a tap act
// however short it is.
#pragma once

// Notes every press the library's keyboard handler reports, from now on:
// a key pressed and let go between two reads still acts once. main()
// calls it once the game has started.
void watch_presses();

// The frame loop's test of Esc: held, or pressed since the last test.
bool esc_pressed();

// One key pass: move the dots, clear, save, load, paste. A step's key acts
// if it is held at its read, or if it was pressed since the last pass
// began; such presses act in the order they were made.
void move();

// Whether the game may rest after the last key pass: that pass acted on no
// key, no key it or Esc reads is held, and no press of one waits. The next
// pass would then change nothing, and so would every pass until the
// keyboard reports a press or a release.
bool nothing_to_do();

// Whether `k` is held, or a press of it waits to act.
bool held_or_pressed(int k);

// Forgets every press noted and not yet acted on, and takes every key as
// let go.
void forget_presses();
