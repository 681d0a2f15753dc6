#!/usr/bin/perl
# Prints the target, the working folder and the icon (path,index) of a Windows shell link (.lnk),
# one a line, read as its format lays them out: a header, an item list, the link information with
# the local path, then counted strings (name, relative path, working folder, arguments, icon),
# UTF-16 when the header says so. scripts/windows-check.sh reads the setup's shortcuts with it.
#
#   perl scripts/windows-shortcut.pl FILE.lnk
use strict;

local $/; open my $f, "<:raw", $ARGV[0] or die; my $d = <$f>;
die "not a shell link\n" unless unpack("V", $d) == 0x4C;
my $flags = unpack("V", substr($d, 20, 4));
my $icon_index = unpack("l<", substr($d, 56, 4));
my $pos = 0x4C;
$pos += 2 + unpack("v", substr($d, $pos, 2)) if $flags & 0x1;
my $target = "";
if ($flags & 0x2) {
    my ($size, undef, $info_flags, undef, $base, undef, $suffix) =
        unpack("V7", substr($d, $pos, 28));
    if ($info_flags & 1) {
        ($target) = unpack("Z*", substr($d, $pos + $base));
        $target .= unpack("Z*", substr($d, $pos + $suffix));
    }
    $pos += $size;
}
my %s;
for my $i (0 .. 4) {
    next unless $flags & (0x4 << $i);
    my $n = unpack("v", substr($d, $pos, 2));
    my $len = $flags & 0x80 ? 2 * $n : $n;
    my $raw = substr($d, $pos + 2, $len);
    $pos += 2 + $len;
    $s{$i} = $flags & 0x80 ? pack("U*", unpack("v*", $raw)) : $raw;
    $s{$i} =~ s/\0+$//;
}
binmode STDOUT, ":utf8";
print "$target\n$s{2}\n$s{4},$icon_index\n";
