#pragma once

// Device 2 with root /mnt/music, whose root folder delivers Rock, Empty and Jazz in that
// order; Rock holds b.mp3, a.Mp3 and cover.jpg, Empty only notes.txt, Jazz x.MP3. These
// are the master list lines its scan appends.
inline constexpr char worked_example_mpl[] = "2 0 0 /mnt/music\n"
                                             "2 1 0 Rock\n"
                                             "2 1 1 /mnt/music/Rock/a.Mp3\n"
                                             "2 1 2 /mnt/music/Rock/b.mp3\n"
                                             "2 2 0 Jazz\n"
                                             "2 2 1 /mnt/music/Jazz/x.MP3\n";
