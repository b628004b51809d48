#!/usr/bin/env bash
# Finds descriptors that the project's programs open without close-on-exec: every
# program they start (the player scripts through the shell, the launcher's children)
# would inherit them, and a script left in the background would keep a FIFO open after
# its daemon ends. Descriptors a child must have are passed on purpose, with dup2 onto
# 0, 1 or 2. Prints each finding as "file:line: text" and exits non-zero if there is any.
#
#   tools/cloexec-check.sh [FILE...]   (default: the sources of the programs)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ $# -eq 0 ]; then
  # shellcheck disable=SC2046 # the names hold no blanks
  set -- $(git ls-files 'audio/*' 'common/*' 'control/*' 'display/*' 'input/*' 'launcher/*' \
    'lcd/*' 'panel/*' 'playlist/*' 'playwatch/*' 'titles/*' 'web/*' | grep -E '\.(c|cpp|h)$')
fi

# A call is taken from its name to its closing parenthesis, comments left out, so calls
# spread over several lines are seen whole. fopen's mode strings must all hold "e".
perl -e '
  my $found = 0;
  my %needs = (
    open => "O_CLOEXEC", openat => "O_CLOEXEC", open64 => "O_CLOEXEC", pipe2 => "O_CLOEXEC",
    socket => "SOCK_CLOEXEC", accept4 => "SOCK_CLOEXEC", timerfd_create => "TFD_CLOEXEC",
    signalfd => "SFD_CLOEXEC", eventfd => "EFD_CLOEXEC", epoll_create1 => "EPOLL_CLOEXEC",
    inotify_init1 => "IN_CLOEXEC", mkostemp => "O_CLOEXEC", memfd_create => "MFD_CLOEXEC",
  );
  my @never = qw(creat pipe accept dup mkstemp popen epoll_create inotify_init);
  for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!\n";
    my @lines = <$in>;
    close $in;
    my $text = "";
    my @line_of;
    for my $n (0 .. $#lines) {
      my $line = $lines[$n];
      $line =~ s{(^|\s)//.*$}{$1};
      $line_of[length($text)] = $n + 1;
      $text .= $line;
    }
    $text =~ s{/\*.*?\*/}{ " " x length($&) }gse;
    my $report = sub {
      my ($at, $call) = @_;
      my $n = 1;
      for (my $i = $at; $i >= 0; --$i) { if (defined $line_of[$i]) { $n = $line_of[$i]; last } }
      $call =~ s/\s+/ /g;
      print "$file:$n: $call\n";
      $found = 1;
    };
    while ($text =~ /(?<![\w.>])(\w+)\s*\(((?:[^()]++|\((?2)\))*)\)/g) {
      my ($name, $args, $at) = ($1, $2, $-[0]);
      pos($text) = $-[0] + length($name);
      if ($name eq "fopen" || $name eq "freopen") {
        my @modes = ($args =~ /"([^"]*)"/g);
        shift @modes if $args =~ /^\s*"/;  # a literal path
        $report->($at, "$name($args)") if !@modes || grep { !/e/ } @modes;
      } elsif (exists $needs{$name}) {
        $report->($at, "$name($args)") if index($args, $needs{$name}) < 0;
      } elsif (grep { $_ eq $name } @never) {
        $report->($at, "$name($args)");
      }
    }
  }
  exit $found;
' "$@" || {
  echo "!! close-on-exec: open these with O_CLOEXEC, \"e\" or the *_CLOEXEC flag" >&2
  exit 1
}
