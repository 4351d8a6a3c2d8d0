// Reads a properties file as Java does and checks that it holds exactly one property: the key and
// value given in a second file as two lines of hex (of their ISO-8859-1 bytes), free of any quoting.
import java.io.FileInputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HexFormat;
import java.util.List;
import java.util.Properties;

public class ReadProperties {
    public static void main(String[] args) throws Exception {
        Properties properties = new Properties();
        try (FileInputStream in = new FileInputStream(args[0])) {
            properties.load(in);
        }
        List<String> expected = Files.readAllLines(Path.of(args[1]));
        String key = new String(HexFormat.of().parseHex(expected.get(0)), "ISO-8859-1");
        String value = new String(HexFormat.of().parseHex(expected.get(1)), "ISO-8859-1");
        boolean same = properties.size() == 1 && value.equals(properties.getProperty(key));
        System.out.println((same ? "read back unchanged: " : "read back otherwise: ") + properties);
        System.exit(same ? 0 : 1);
    }
}
