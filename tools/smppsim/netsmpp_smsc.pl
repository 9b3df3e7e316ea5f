#!/usr/bin/perl
# netsmpp_smsc.pl: a second, small SMSC on Perl's Net::SMPP, so that the
# gateway's SMPP sender is also tried against a peer built on another
# implementation than smppsim.js.
#
# It listens on 127.0.0.1, accepts one connection, answers its bind
# (checking system_id and password), answers submit_sm with message ids (a
# hex counter), enquire_link and unbind, sends one delivery receipt for the
# first submission that asks for one when --receipt is given, and ends when
# the client hangs up or on SIGTERM. Every PDU in either direction is
# logged as one JSON object per line, in the shape smppsim.js writes.
use strict;
use warnings;

use Encode qw(decode);
use Getopt::Long;
use JSON::PP;
use Net::SMPP;
use POSIX qw(strftime);
use Time::HiRes qw(time);

my %opt = (port => 0, 'system-id' => 'kst', password => 'secret', log => 'netsmpp.jsonl',
           'first-id' => 1, 'accept-timeout' => 300);
GetOptions(\%opt, 'port=i', 'system-id=s', 'password=s', 'log=s', 'receipt=s', 'first-id=i',
           'accept-timeout=i')
    or die "usage: netsmpp_smsc.pl [--port N] [--system-id ID] [--password PW] [--log FILE]"
         . " [--receipt STAT] [--first-id N] [--accept-timeout SECONDS]\n";

my %MESSAGE_STATE = (ENROUTE => 1, DELIVRD => 2, EXPIRED => 3, DELETED => 4, UNDELIV => 5,
                     ACCEPTD => 6, UNKNOWN => 7, REJECTD => 8);
die "netsmpp_smsc: --receipt is one of " . join('|', sort keys %MESSAGE_STATE) . "\n"
    if defined $opt{receipt} && !exists $MESSAGE_STATE{$opt{receipt}};

# TLVs whose value is a NUL-terminated string or an integer; others are hex.
my %CSTRING_TLV = (0x001E => 1);
my %INTEGER_TLV = (0x0427 => 1, 0x0210 => 1, 0x0005 => 1, 0x0204 => 1, 0x020C => 1,
                   0x020E => 1, 0x020F => 1, 0x0425 => 1, 0x0426 => 1);
my %STRING_FIELD = map { $_ => 1 } qw(service_type source_addr destination_addr system_id
    password system_type address_range message_id schedule_delivery_time validity_period);
my %INTEGER_FIELD = map { $_ => 1 } qw(source_addr_ton source_addr_npi dest_addr_ton
    dest_addr_npi esm_class protocol_id priority_flag registered_delivery
    replace_if_present_flag data_coding sm_default_msg_id interface_version addr_ton addr_npi);

open(my $log, '>>', $opt{log}) or die "netsmpp_smsc: cannot open $opt{log}: $!\n";
$log->autoflush(1);
my $json = JSON::PP->new->canonical->ascii;

sub log_record {
    my ($record) = @_;
    $record->{t} = time;
    print $log $json->encode($record), "\n";
}

# The log record of one PDU, decoded by Net::SMPP's own decoders.
sub describe {
    my ($dir, $conn, $raw) = @_;
    my ($length, $cmd, $status, $seq) = unpack 'NNNN', $raw;
    my $pdu = {cmd => $cmd, status => $status, seq => $seq, data => substr($raw, 16)};
    my $template = Net::SMPP::pdu_tab->{$cmd};
    my $record = {dir => $dir, conn => 1, command_id => $cmd, status => $status, seq => $seq,
                  length => $length, raw => unpack('H*', $raw),
                  command => $template ? $template->{cmd} : 'unknown'};
    return $record unless $template;
    my $mandatory = $template->{decode}->($pdu, $conn);
    for my $key (keys %$pdu) {
        if ($STRING_FIELD{$key}) {
            $record->{$key} = $pdu->{$key};
        } elsif ($INTEGER_FIELD{$key}) {
            $record->{$key} = $pdu->{$key} + 0;
        }
    }
    my $body = substr($raw, 16);
    my %tlvs;
    my $offset = $mandatory;
    while ($offset + 4 <= length $body) {
        my ($tag, $len) = unpack 'nn', substr($body, $offset, 4);
        my $value = substr($body, $offset + 4, $len);
        my $param = Net::SMPP::param_tab->{$tag};
        my $name = $param ? $param->{name} : sprintf('0x%04x', $tag);
        if ($CSTRING_TLV{$tag}) {
            ($tlvs{$name} = $value) =~ s/\0\z//;
        } elsif ($INTEGER_TLV{$tag} && ($len == 1 || $len == 2 || $len == 4)) {
            $tlvs{$name} = unpack($len == 1 ? 'C' : $len == 2 ? 'n' : 'N', $value);
        } else {
            $tlvs{$name} = unpack 'H*', $value;
        }
        $offset += 4 + $len;
    }
    $record->{tlvs} = \%tlvs if %tlvs;
    if (defined $pdu->{short_message}) {
        my $sm = $pdu->{short_message};
        $record->{short_message} = unpack 'H*', $sm;
        $record->{sm_length} = length $sm;
        if (($pdu->{esm_class} // 0) & 0x40 && length $sm) {
            my $udhl = ord $sm;
            $record->{udh} = unpack 'H*', substr($sm, 0, $udhl + 1);
            $sm = substr($sm, $udhl + 1);
        }
        my $dc = $pdu->{data_coding} // 0;
        if ($dc == 0 || $dc == 1 || $dc == 3) {
            $record->{text} = decode('latin1', $sm);
        } elsif ($dc == 8 && length($sm) % 2 == 0) {
            $record->{text} = decode('UCS-2BE', $sm);
        }
    }
    return $record;
}

# Net::SMPP writes every PDU through syswrite and its readers get the
# header and the body: both are logged here.
package KstSmsc;
our @ISA = ('Net::SMPP');

sub syswrite {
    my ($me, $bytes) = @_;
    main::log_record(main::describe('out', $me, $bytes));
    return $me->SUPER::syswrite($bytes);
}

package main;

# The client may come late (a daemon starting up): accept waits this long.
my $listener = KstSmsc->new_listen('127.0.0.1', port => $opt{port}, smpp_version => 0x34,
                                   listen => 5, timeout => $opt{'accept-timeout'})
    or die "netsmpp_smsc: cannot listen: $!\n";
$| = 1;
print 'netsmpp_smsc: smpp_port=', $listener->sockport, "\n";

$SIG{TERM} = sub { log_record({event => 'stop', conn => 0}); exit 0 };

my $conn = $listener->accept or die "netsmpp_smsc: accept: $!\n";
close $listener;
log_record({event => 'connect', conn => 1});

my $bound = 0;
my $next_id = $opt{'first-id'};
my $receipt_sent = 0;
my $deliver_seq = 0;

sub violation {
    my ($text, $seq) = @_;
    log_record({violation => $text, conn => 1, seq => $seq});
}

while (my $pdu = $conn->read_pdu) {
    my $raw = pack('NNNN', 16 + length $pdu->{data}, $pdu->{cmd}, $pdu->{status}, $pdu->{seq})
        . $pdu->{data};
    my $record = describe('in', $conn, $raw);
    log_record($record);
    my $command = $record->{command};
    my $seq = $pdu->{seq};
    if ($command =~ /^bind_(transmitter|receiver|transceiver)$/) {
        my $respond = "${command}_resp";
        my $status = $bound ? 0x05
            : $pdu->{system_id} ne $opt{'system-id'} ? 0x0D
            : $pdu->{password} ne $opt{password} ? 0x0E : 0;
        violation("$command on a connection already bound", $seq) if $bound;
        $bound = 1 unless $status;
        log_record({event => $status ? 'bind_refused' : 'bound', conn => 1,
                    system_id => $pdu->{system_id}, status => $status});
        $conn->$respond(seq => $seq, status => $status, system_id => 'netsmpp');
    } elsif ($command eq 'submit_sm') {
        if (!$bound) {
            violation('submit_sm before bind', $seq);
            $conn->submit_sm_resp(seq => $seq, status => 0x04, message_id => '');
            next;
        }
        my $id = sprintf '%08X', $next_id++;
        $conn->submit_sm_resp(seq => $seq, message_id => $id);
        if (defined $opt{receipt} && !$receipt_sent && ($pdu->{registered_delivery} & 3)) {
            $receipt_sent = 1;
            my $stat = $opt{receipt};
            my $now = strftime('%y%m%d%H%M', localtime);
            my $text = substr(decode('latin1', $pdu->{short_message}), 0, 20);
            my $receipt = "id:$id sub:001 dlvrd:" . ($stat eq 'DELIVRD' ? '001' : '000')
                . " submit date:$now done date:$now stat:$stat err:000 text:$text";
            $deliver_seq = $conn->deliver_sm(
                async => 1,
                source_addr_ton => $pdu->{dest_addr_ton}, source_addr_npi => $pdu->{dest_addr_npi},
                source_addr => $pdu->{destination_addr},
                dest_addr_ton => $pdu->{source_addr_ton}, dest_addr_npi => $pdu->{source_addr_npi},
                destination_addr => $pdu->{source_addr},
                esm_class => 0x04, data_coding => 0, short_message => $receipt,
                receipted_message_id => "$id\0",
                message_state => pack('C', $MESSAGE_STATE{$stat}));
        }
    } elsif ($command eq 'enquire_link') {
        $conn->enquire_link_resp(seq => $seq);
    } elsif ($command eq 'unbind') {
        $conn->unbind_resp(seq => $seq);
        log_record({event => 'unbound', conn => 1});
        last;
    } elsif ($command eq 'deliver_sm_resp') {
        violation("deliver_sm_resp answers sequence number $seq, which is not outstanding", $seq)
            unless $deliver_seq && $seq == $deliver_seq;
        $deliver_seq = 0;
    } elsif ($pdu->{cmd} & 0x80000000) {
        violation("$command answers sequence number $seq, which is not outstanding", $seq);
    } else {
        violation("$command is not served here", $seq);
        $conn->generic_nack(seq => $seq, status => 0x03);
    }
}
log_record({event => 'close', conn => 1});
close $conn;
exit 0;
