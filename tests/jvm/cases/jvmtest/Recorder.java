package jvmtest;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.function.UnaryOperator;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A transformer that keeps a copy of every class file it is handed, by class name, and
 * answers with an edit of it. It runs inside class loading, so it uses no lambdas of its
 * own that would be linked there.
 */
final class Recorder implements Remap.Transformer {
    private final UnaryOperator<byte[]> edit;
    private final Map<String, List<byte[]>> received = new HashMap<>();

    Recorder(UnaryOperator<byte[]> edit) {
        this.edit = edit;
    }

    /** Rewrites the fixtures' "original" constant. */
    static Recorder rewriting() {
        return new Recorder(ClassFiles::rewrite);
    }

    @Override
    public byte[] transform(String internalName, byte[] classBytes) {
        synchronized (received) {
            List<byte[]> copies = received.get(internalName);
            if (copies == null) {
                copies = new ArrayList<>();
                received.put(internalName, copies);
            }
            copies.add(classBytes.clone());
        }
        return edit.apply(classBytes);
    }

    int calls(String internalName) {
        synchronized (received) {
            List<byte[]> copies = received.get(internalName);
            return copies == null ? 0 : copies.size();
        }
    }

    byte[] first(String internalName) {
        synchronized (received) {
            Check.that(calls(internalName) > 0, "the transformer never saw %s", internalName);
            return received.get(internalName).get(0);
        }
    }

    /** Every class file handed over for a class, oldest first. */
    List<byte[]> received(String internalName) {
        synchronized (received) {
            return new ArrayList<>(received.getOrDefault(internalName, List.of()));
        }
    }

    Set<String> seen() {
        synchronized (received) {
            return new TreeSet<>(received.keySet());
        }
    }
}
